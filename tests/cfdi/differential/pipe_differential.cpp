// Differential test of the pipe string: generated documents of every version, with every
// complement each version's stylesheet includes, run through the tax authority's stylesheets
// by xsltproc and through KVN_MakePipeStringFromXml; both must agree byte for byte, and in
// stamp mode (KVN_OPT_STAMP) the library must agree with the stamp stylesheet run over the
// document's stamp.
//
//   pipe_differential --python PY --generator gen_documents.py --sat DIR --out DIR
//                     [--count N] [--seed S] [--self-check-every K]
//
// The CI run uses the default count. For a larger run by hand, set the environment:
//   KVN_DIFFERENTIAL_COUNT=3000 KVN_DIFFERENTIAL_SEED=7 ctest --test-dir build/test -R pipe_differential
// (count: random documents per version; seed: any number, printed by every run).
//
// xsltproc runs once per stylesheet over every document of that stylesheet (a generated
// wrapper imports the stylesheet and loads each document with document()); every K-th
// random document and every directed one (names not starting with "r") is also run through
// xsltproc alone, as the authority's instructions say, to show the wrapper changes nothing.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "kelvane.h"

namespace {

namespace fs = std::filesystem;

const char kMarker[] = "@@kvn-doc@@ ";

struct Row {
    std::string group;
    bool stamp = false;
    std::string stylesheet;
    std::string document;
    std::string expectation;  // "missing:<attribute>": a stamp the library refuses
};

struct Options {
    std::string python, generator, sat, out;
    std::string count = "400";
    std::string seed = "20240115";
    int selfCheckEvery = 20;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

int Run(const std::string& command) {
    int status = std::system(command.c_str());
    return status == -1 ? -1 : WEXITSTATUS(status);
}

bool Capture(const std::string& command, std::string& out) {
    out.clear();
    FILE* p = popen(command.c_str(), "r");
    if (!p) return false;
    char block[65536];
    std::size_t n;
    while ((n = std::fread(block, 1, sizeof block, p)) > 0) out.append(block, n);
    int status = pclose(p);
    return status != -1 && WEXITSTATUS(status) == 0;
}

std::vector<Row> ReadManifest(const fs::path& path) {
    std::vector<Row> rows;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::size_t start = 0, tab;
        while ((tab = line.find('\t', start)) != std::string::npos) {
            f.push_back(line.substr(start, tab - start));
            start = tab + 1;
        }
        f.push_back(line.substr(start));
        if (f.size() != 5) continue;
        rows.push_back({f[0], f[1] == "stamp", f[2], f[3], f[4]});
    }
    return rows;
}

// The wrapper's output: "@@kvn-doc@@ <file>\n<pipe string>" for each document.
std::map<std::string, std::string> SplitResults(const std::string& all) {
    std::map<std::string, std::string> results;
    std::size_t at = all.find(kMarker);
    while (at != std::string::npos) {
        std::size_t nameStart = at + sizeof kMarker - 1;
        std::size_t nameEnd = all.find('\n', nameStart);
        if (nameEnd == std::string::npos) break;
        std::size_t next = all.find(kMarker, nameEnd);
        results[all.substr(nameStart, nameEnd - nameStart)] =
            all.substr(nameEnd + 1, (next == std::string::npos ? all.size() : next) - nameEnd - 1);
        at = next;
    }
    return results;
}

std::string Ours(const std::string& document, bool stamp) {
    int options = stamp ? KVN_OPT_STAMP : 0;
    auto failure = [](int code) {
        char message[1024] = "";
        KVN_LastError(message, sizeof message);
        return "error " + std::to_string(code) + ": " + message;
    };
    int bound = KVN_MakePipeStringFromXml(nullptr, 0, document.c_str(), options);
    if (bound < 0) return failure(bound);
    std::vector<char> buffer(static_cast<std::size_t>(bound) + 1);
    int n = KVN_MakePipeStringFromXml(buffer.data(), bound, document.c_str(), options);
    if (n < 0) return failure(n);
    return std::string(buffer.data(), static_cast<std::size_t>(n));
}

// Control characters shown as escapes so that a difference in white space can be seen.
std::string Visible(const std::string& s) {
    std::string v;
    for (unsigned char c : s) {
        if (c == '\n') v += "\\n";
        else if (c == '\r') v += "\\r";
        else if (c == '\t') v += "\\t";
        else if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            v += hex;
        } else {
            v += static_cast<char>(c);
        }
    }
    return v;
}

std::size_t FirstDifference(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    return i;
}

void Report(const Row& row, const std::string& peer, const std::string& ours, bool full) {
    std::size_t at = FirstDifference(peer, ours);
    std::cout << "MISMATCH " << (row.stamp ? "stamp " : "pipe ") << row.document << "\n  first difference at byte " << at
              << " (xsltproc " << peer.size() << " bytes, ours " << ours.size() << ")\n";
    std::size_t from = at > 40 ? at - 40 : 0;
    std::cout << "  xsltproc  ..." << Visible(peer.substr(from, 120)) << "\n  ours      ..."
              << Visible(ours.substr(from, 120)) << "\n";
    if (full) {
        std::cout << "  xsltproc: " << Visible(peer) << "\n  ours:     " << Visible(ours) << "\n";
    }
}

bool ParseArguments(int argc, char** argv, Options& o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i], value = argv[i + 1];
        if (key == "--python") o.python = value;
        else if (key == "--generator") o.generator = value;
        else if (key == "--sat") o.sat = value;
        else if (key == "--out") o.out = value;
        else if (key == "--count") o.count = value;
        else if (key == "--seed") o.seed = value;
        else if (key == "--self-check-every") o.selfCheckEvery = std::atoi(value.c_str());
        else return false;
    }
    if (const char* c = std::getenv("KVN_DIFFERENTIAL_COUNT")) o.count = c;
    if (const char* s = std::getenv("KVN_DIFFERENTIAL_SEED")) o.seed = s;
    return !o.python.empty() && !o.generator.empty() && !o.sat.empty() && !o.out.empty();
}

// Runs the stylesheet on one document alone, the stamp first copied into its own document.
bool PeerAlone(const Row& row, const fs::path& out, std::string& result) {
    std::string command;
    if (row.stamp) {
        command = "xsltproc --nonet " + Quote((out / "extract-stamp.xslt").string()) + " " + Quote(row.document) +
                  " | xsltproc --nonet " + Quote(row.stylesheet) + " - 2>/dev/null";
    } else {
        command = "xsltproc --nonet " + Quote(row.stylesheet) + " " + Quote(row.document) + " 2>/dev/null";
    }
    return Capture(command, result);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!ParseArguments(argc, argv, o)) {
        std::cerr << "usage: pipe_differential --python PY --generator gen_documents.py --sat DIR --out DIR"
                     " [--count N] [--seed S] [--self-check-every K]\n";
        return 2;
    }
    if (Run("xsltproc --version >/dev/null 2>&1") != 0) {
        std::cerr << "xsltproc is needed (Debian package xsltproc; scripts/prereqs.sh installs it)\n";
        return 2;
    }
    const fs::path out = o.out;
    std::error_code ignored;
    fs::remove_all(out, ignored);
    fs::create_directories(out);
    std::cout << "seed " << o.seed << ", " << o.count << " random documents per version" << std::endl;
    if (Run(Quote(o.python) + " " + Quote(o.generator) + " --sat " + Quote(o.sat) + " --out " + Quote(out.string()) +
            " --count " + Quote(o.count) + " --seed " + Quote(o.seed)) != 0) {
        std::cerr << "the document generator failed\n";
        return 2;
    }
    std::vector<Row> rows = ReadManifest(out / "manifest.tsv");
    if (rows.empty()) {
        std::cerr << "the generator listed no documents\n";
        return 2;
    }

    std::map<std::string, std::map<std::string, std::string>> peer;  // group -> document -> string
    for (const Row& row : rows) {
        if (peer.count(row.group)) continue;
        std::string all;
        std::string command = "xsltproc --nonet " + Quote((out / (row.group + ".wrap.xslt")).string()) + " " +
                              Quote((out / (row.group + ".list.xml")).string()) + " 2>" +
                              Quote((out / (row.group + ".stderr")).string());
        if (!Capture(command, all)) {
            std::cerr << "xsltproc failed on group " << row.group << "; see " << (out / (row.group + ".stderr")) << "\n";
            return 2;
        }
        peer[row.group] = SplitResults(all);
    }

    int compared = 0, mismatches = 0, harness = 0;
    std::map<std::string, int> perGroup;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        auto found = peer[row.group].find(row.document);
        if (found == peer[row.group].end()) {
            std::cout << "HARNESS no xsltproc result for " << row.document << " in group " << row.group << "\n";
            ++harness;
            continue;
        }
        const std::string& expected = found->second;
        if (expected.rfind("||", 0) != 0) {
            // Every cadena starts with two bars; anything else means xsltproc could not read
            // the document.
            std::cout << "HARNESS xsltproc gave no cadena for " << row.document << ": " << Visible(expected) << "\n";
            ++harness;
            continue;
        }
        bool directed = fs::path(row.document).filename().string()[0] != 'r';
        if (directed || (o.selfCheckEvery > 0 && i % static_cast<std::size_t>(o.selfCheckEvery) == 0)) {
            std::string alone;
            if (!PeerAlone(row, out, alone) || alone != expected) {
                std::cout << "HARNESS xsltproc alone and in the wrapper disagree on " << row.document << "\n  alone:   "
                          << Visible(alone) << "\n  wrapper: " << Visible(expected) << "\n";
                ++harness;
            }
        }
        std::string ours = Ours(row.document, row.stamp);
        ++compared;
        if (row.expectation.rfind("missing:", 0) == 0) {
            // Kept on purpose: a stamp without a required value is refused, not written
            // with an empty field.
            std::string refused = "error -" + std::to_string(MISSING_ERROR) + ": Attribute '" +
                                  row.expectation.substr(8) + "' is mandatory/Atributo es obligatorio";
            if (ours != refused) {
                std::cout << "MISMATCH stamp " << row.document << "\n  expected: " << refused
                          << "\n  ours:     " << Visible(ours) << "\n";
                ++mismatches;
                ++perGroup[row.group + " (stamp)"];
            }
        } else if (ours != expected) {
            Report(row, expected, ours, mismatches < 40);
            ++mismatches;
            ++perGroup[row.group + (row.stamp ? " (stamp)" : "")];
        }
    }
    for (const auto& [group, n] : perGroup) std::cout << "  " << group << ": " << n << " differ\n";
    std::cout << compared << " strings compared, " << mismatches << " differ, " << harness << " harness errors (seed "
              << o.seed << ")" << std::endl;
    return mismatches == 0 && harness == 0 ? 0 : 1;
}
