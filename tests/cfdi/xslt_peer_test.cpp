// Peer check: the tax authority's stylesheets define the cadena original of each version;
// xsltproc runs them over our fixtures and the corpus invoices and our pipe string must
// equal theirs, except where a difference is listed, with its reason, in
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

namespace kvn {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;

const fs::path kCorpus = KVN_CORPUS_DIR;

std::string Ours(const fs::path& doc, int options = 0) {
    ClearLastError();
    int bound = MakePipeString(nullptr, 0, doc.c_str(), options);
    if (bound < 0) return "error " + std::to_string(bound) + ": " + LastErrorText();
    std::vector<char> buf(static_cast<std::size_t>(bound) + 1);
    int n = MakePipeString(buf.data(), bound, doc.c_str(), options);
    if (n < 0) return "error " + std::to_string(n) + ": " + LastErrorText();
    return std::string(buf.data(), static_cast<std::size_t>(n));
}

std::string StylesheetFor(int versionNumber) {
    switch (versionNumber) {
        case 20: return "cadenaoriginal_2_0.xslt";
        case 22: return "cadenaoriginal_2_2.xslt";
        case 30: return "cadenaoriginal_3_0.xslt";
        case 32: return "cadenaoriginal_3_2.xslt";
        default: return "";
    }
}

// Runs xsltproc; the stylesheets declare XSLT 2.0 but use only 1.0 features, and
// xsltproc's warning about that goes to /dev/null.
std::string Peer(const std::string& stylesheet, const fs::path& doc) {
    std::string command = "xsltproc '" + (kCorpus / "xslt" / stylesheet).string() + "' '" + doc.string() +
                          "' 2>/dev/null";
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
                                kCorpus / "cfdi32"}) {
        for (const auto& e : fs::directory_iterator(dir)) {
            if (e.path().extension() == ".xml") docs.push_back(e.path());
        }
    }
    std::sort(docs.begin(), docs.end());
    return docs;
}

TEST(XsltPeer, PipeStringsEqualTheStylesheets) {
    ASSERT_TRUE(fs::is_directory(kCorpus / "xslt")) << "corpus missing at " << kCorpus;
    ASSERT_EQ(std::system("xsltproc --version >/dev/null 2>&1"), 0) << "xsltproc is needed (Debian package xsltproc)";
    std::map<std::string, std::string> listed = ListedDifferences();
    int compared = 0;
    for (const fs::path& doc : Documents()) {
        std::string name = ListKey("pipe", doc);
        int version = VersionNumber(doc.c_str());
        std::string stylesheet = StylesheetFor(version);
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
    EXPECT_GE(compared, 40);
}

TEST(XsltPeer, StampStringsEqualTheStylesheet) {
    std::map<std::string, std::string> listed = ListedDifferences();
    int compared = 0;
    for (const fs::path& doc : Documents()) {
        if (ReadFile(doc.string()).find("TimbreFiscalDigital ") == std::string::npos) continue;
        // The stamp stylesheet wants the stamp as its own document.
        fs::path stampOnly = fs::path(::testing::TempDir()) / "kvn_stamp_only.xml";
        std::string cmd = "xmllint --xpath \"(//*[local-name()='TimbreFiscalDigital'])[1]\" '" + doc.string() + "' > '" +
                          stampOnly.string() + "' 2>/dev/null";
        ASSERT_EQ(std::system(cmd.c_str()), 0) << doc;
        std::string stampText = ReadFile(stampOnly.string());
        if (stampText.find("xmlns:tfd") == std::string::npos) {
            std::size_t at = stampText.find("tfd:TimbreFiscalDigital") + std::strlen("tfd:TimbreFiscalDigital");
            stampText.insert(at, " xmlns:tfd=\"http://www.sat.gob.mx/TimbreFiscalDigital\"");
            std::ofstream(stampOnly) << stampText;
        }
        std::string ours = Ours(doc, KVN_OPT_STAMP);
        std::string peer = Peer("cadenaoriginal_TFD_1_0.xslt", stampOnly);
        if (listed.count(ListKey("stamp", doc))) {
            EXPECT_NE(ours, peer) << doc << " is listed as different but agrees; drop it from the list";
        } else {
            EXPECT_EQ(ours, peer) << doc;
        }
        ++compared;
    }
    EXPECT_GE(compared, 3);
}

TEST(XsltPeer, PublishedExpectedStrings) {
    int compared = 0;
    for (const auto& e : fs::directory_iterator(kCorpus / "cfdi32")) {
        std::string file = e.path().filename().string();
        for (auto [suffix, options] : {std::pair<std::string, int>{".cadena.txt", 0}, {".tfd-cadena.txt", KVN_OPT_STAMP}}) {
            if (file.size() <= suffix.size() || file.compare(file.size() - suffix.size(), suffix.size(), suffix) != 0) continue;
            if (suffix == ".cadena.txt" && file.find(".tfd-cadena.txt") != std::string::npos) continue;
            fs::path doc = e.path().parent_path() / (file.substr(0, file.size() - suffix.size()) + ".xml");
            std::string expected = ReadFile(e.path().string());
            while (!expected.empty() && (expected.back() == '\n' || expected.back() == '\r')) expected.pop_back();
            if (expected.rfind("\xEF\xBB\xBF", 0) == 0) expected.erase(0, 3);  // published with a byte-order mark
            EXPECT_EQ(Ours(doc, options), expected) << file;
            ++compared;
        }
    }
    EXPECT_GE(compared, 2);
}

}  // namespace
}  // namespace kvn
