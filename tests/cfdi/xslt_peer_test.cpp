// Peer check: the tax authority's stylesheets define the cadena original of each version;
// xsltproc runs them over our fixtures and the corpus invoices of every version and our
// pipe string must equal theirs, except where a difference is listed, with its reason, in
// xslt_differences.txt. Published expected strings (*.cadena.txt, *.tfd-cadena.txt) beside
// corpus invoices are checked as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/pipe_string.h"
#include "doc_files.h"
#include "kelvane.h"
#include "reader_results.h"

namespace kvn {
namespace {

namespace fs = std::filesystem;
using testing::PipeStringInto;
using testing::ReadFile;
using testing::VersionOf;

const fs::path kCorpus = KVN_CORPUS_DIR;
const fs::path kCfd = fs::path(KVN_SAT_DIR) / "www.sat.gob.mx/sitio_internet/cfd";

std::string Ours(const fs::path& doc, int options = 0) {
    ClearLastError();
    int bound = PipeStringInto(nullptr, 0, doc.c_str(), options);
    if (bound < 0) return "error " + std::to_string(bound) + ": " + LastErrorText();
    std::vector<char> buf(static_cast<std::size_t>(bound) + 1);
    int n = PipeStringInto(buf.data(), bound, doc.c_str(), options);
    if (n < 0) return "error " + std::to_string(n) + ": " + LastErrorText();
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

fs::path StylesheetOf(int versionNumber) {
    switch (versionNumber) {
        case 20: return kCfd / "2/cadenaoriginal_2_0/cadenaoriginal_2_0.xslt";
        case 22: return kCfd / "2/cadenaoriginal_2_0/cadenaoriginal_2_2.xslt";
        case 30: return kCfd / "3/cadenaoriginal_3_0/cadenaoriginal_3_0.xslt";
        case 32: return kCfd / "3/cadenaoriginal_3_2/cadenaoriginal_3_2.xslt";
        case 33: return kCfd / "3/cadenaoriginal_3_3/cadenaoriginal_3_3.xslt";
        case 40: return kCfd / "4/cadenaoriginal_4_0/cadenaoriginal_4_0.xslt";
        default: return {};
    }
}

fs::path StampStylesheetOf(int versionNumber) {
    if (versionNumber >= 33) return kCfd / "TimbreFiscalDigital/cadenaoriginal_TFD_1_1.xslt";
    return kCfd / "../timbrefiscaldigital/cadenaoriginal_TFD_1_0.xslt";
}

// Runs xsltproc; the stylesheets declare XSLT 2.0 but use only 1.0 features, and
// xsltproc's warning about that goes to /dev/null.
std::string Peer(const fs::path& stylesheet, const fs::path& doc) {
    std::string command = "xsltproc --nonet '" + stylesheet.string() + "' '" + doc.string() + "' 2>/dev/null";
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char block[4096];
        std::size_t n;
        while ((n = std::fread(block, 1, sizeof block, p)) > 0) out.append(block, n);
        pclose(p);
    }
    return out;
}

// "<kind>\t<folder>/<file>" -> reason, from the committed list of differences by design.
std::map<std::string, std::string> ListedDifferences() {
    std::map<std::string, std::string> listed;
    std::ifstream in(std::string(KVN_SOURCE_DIR) + "/tests/cfdi/xslt_differences.txt");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::size_t second = line.find('\t', line.find('\t') + 1);
        listed[line.substr(0, second)] = second == std::string::npos ? "" : line.substr(second + 1);
    }
    return listed;
}

std::string ListKey(const char* kind, const fs::path& doc) {
    return std::string(kind) + "\t" + doc.parent_path().filename().string() + "/" + doc.filename().string();
}

std::vector<fs::path> Documents() {
    std::vector<fs::path> docs;
    for (const fs::path& dir : {fs::path(KVN_FIXTURES_DIR) / "invoices", kCorpus / "cfd20", kCorpus / "cfd22",
                                kCorpus / "cfdi32", kCorpus / "cfdi33", kCorpus / "cfdi40"}) {
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().extension() == ".xml") docs.push_back(e.path());
        }
    }
    std::sort(docs.begin(), docs.end());
    return docs;
}

TEST(XsltPeer, PipeStringsEqualTheStylesheets) {
    ASSERT_TRUE(fs::is_directory(kCorpus / "cfdi40")) << "corpus missing at " << kCorpus;
    ASSERT_TRUE(fs::is_directory(kCfd)) << "stylesheets missing at " << kCfd;
    ASSERT_EQ(std::system("xsltproc --version >/dev/null 2>&1"), 0) << "xsltproc is needed (Debian package xsltproc)";
    std::map<std::string, std::string> listed = ListedDifferences();
    int compared = 0;
    for (const fs::path& doc : Documents()) {
        std::string name = ListKey("pipe", doc);
        int version = VersionOf(doc.c_str());
        fs::path stylesheet = StylesheetOf(version);
        if (stylesheet.empty()) continue;
        std::string ours = Ours(doc);
        std::string peer = Peer(stylesheet, doc);
        ++compared;
        if (listed.count(name)) {
            EXPECT_NE(ours, peer) << name << " is listed as different but agrees; drop it from the list";
        } else {
            EXPECT_EQ(ours, peer) << name;
        }
    }
    EXPECT_GE(compared, 100);
}

TEST(XsltPeer, StampStringsEqualTheStylesheet) {
    std::map<std::string, std::string> listed = ListedDifferences();
    // The stamp stylesheets want the stamp as their own document; xsl:copy-of keeps the
    // namespace declarations in scope (the stamp's prefix is usually declared on the root).
    fs::path extract = fs::path(::testing::TempDir()) / ("kvn_extract_stamp_" + std::to_string(getpid()) + ".xslt");
    std::ofstream(extract) << R"(<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform"
    xmlns:tfd="http://www.sat.gob.mx/TimbreFiscalDigital">
  <xsl:template match="/"><xsl:copy-of select="(//tfd:TimbreFiscalDigital)[1]"/></xsl:template>
</xsl:stylesheet>)";
    int compared = 0;
    for (const fs::path& doc : Documents()) {
        if (ReadFile(doc.string()).find("TimbreFiscalDigital ") == std::string::npos) continue;
        int version = VersionOf(doc.c_str());
        if (version < 30) continue;
        fs::path stampOnly = fs::path(::testing::TempDir()) / ("kvn_stamp_only_" + std::to_string(getpid()) + ".xml");
        std::string cmd = "xsltproc --nonet '" + extract.string() + "' '" + doc.string() + "' > '" +
                          stampOnly.string() + "' 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << doc;
        std::string ours = Ours(doc, KVN_OPT_STAMP);
        std::string peer = Peer(StampStylesheetOf(version), stampOnly);
        if (listed.count(ListKey("stamp", doc))) {
            EXPECT_NE(ours, peer) << doc << " is listed as different but agrees; drop it from the list";
        } else {
            EXPECT_EQ(ours, peer) << doc;
        }
        ++compared;
    }
    EXPECT_GE(compared, 8);
}

TEST(XsltPeer, PublishedExpectedStrings) {
    int compared = 0;
    std::vector<fs::path> files;
    for (const auto& e : fs::directory_iterator(kCorpus / "cfdi32")) files.push_back(e.path());
    for (const auto& e : fs::directory_iterator(kCorpus / "cfdi33")) files.push_back(e.path());
    for (const fs::path& path : files) {
        std::string file = path.filename().string();
        for (auto [suffix, options] : {std::pair<std::string, int>{".cadena.txt", 0}, {".tfd-cadena.txt", KVN_OPT_STAMP}}) {
            if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
            if (suffix == ".cadena.txt" && file.find(".tfd-cadena.txt") != std::string::npos) continue;
            fs::path doc = path.parent_path() / (file.substr(0, file.size() - suffix.size()) + ".xml");
            std::string expected = ReadFile(path.string());
            while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) expected.pop_back();
            if (expected.rfind("\xEF\xBB\xBF", 0) == 0) expected.erase(0, 3);  // published with a byte-order mark
            EXPECT_EQ(Ours(doc, options), expected) << file;
            ++compared;
        }
    }
    EXPECT_GE(compared, 3);
}

}  // namespace
}  // namespace kvn
