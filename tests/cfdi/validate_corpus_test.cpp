// Every real invoice of the corpus validates, or fails for the defect of its own that
// tests/fixtures/validation/corpus_expected.tsv names.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "base/lasterror.h"
#include "cfdi/validate.h"

namespace kvn {
namespace {

struct Expected {
    int result;
    std::string message;
};

std::map<std::string, Expected> ReadExpected() {
    std::map<std::string, Expected> out;
    std::ifstream in(std::string(KVN_FIXTURES_DIR) + "/validation/corpus_expected.tsv");
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string file, result, message;
        std::getline(fields, file, '\t');
        std::getline(fields, result, '\t');
        std::getline(fields, message, '\t');
        out[file] = {std::stoi(result), message};
    }
    return out;
}

TEST(ValidateCorpus, InvoicesValidateOrFailForTheirListedDefect) {
    namespace fs = std::filesystem;
    const fs::path corpus(KVN_CORPUS_DIR);
    ASSERT_TRUE(fs::is_directory(corpus)) << "corpus missing: " << corpus;
    std::map<std::string, Expected> expected = ReadExpected();
    int seen = 0;
    for (const char* dir : {"cfd20", "cfd22", "cfdi32"}) {
        for (const auto& entry : fs::directory_iterator(corpus / dir)) {
            if (entry.path().extension() != ".xml") continue;
            std::string name = std::string(dir) + "/" + entry.path().filename().string();
            ClearLastError();
            int result = ResultOf(ValidateDocument(entry.path().c_str(), 0));
            std::string messages = LastErrorText();
            ++seen;
            auto it = expected.find(name);
            if (it == expected.end()) {
                EXPECT_EQ(result, 0) << name << ": " << messages;
                continue;
            }
            EXPECT_EQ(result, it->second.result) << name << ": " << messages;
            std::string first = "XML validation error/Error al validar XML: " + it->second.message + " (";
            EXPECT_EQ(messages.rfind(first, 0), 0u) << name << ": " << messages;
            expected.erase(it);
        }
    }
    EXPECT_GE(seen, 20);
    for (const auto& [name, e] : expected) ADD_FAILURE() << "listed but not in the corpus: " << name;
}

}  // namespace
}  // namespace kvn
