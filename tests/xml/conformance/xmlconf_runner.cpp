// Runs the W3C XML conformance suite (XML 1.0 tests of the categories "not-wf" and
// "valid") through our parser. The index xmlconf.xml is itself read with our parser.
// Every outcome must match the category, except the cases listed in deviations.txt (one
// "ID reason" per line), and every listed deviation must still deviate.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "xml/parser.h"

namespace {

using namespace kvn;

const std::string kRoot = std::string(KVN_XMLCONF_DIR) + "/xmlconf/";

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// Resolves external entities as files relative to the entity that refers to them.
struct FileResolver {
    std::vector<std::string> directories;
};

int ResolveFile(void* user, XmlEntity* entity, XmlReader* reader) {
    auto* r = static_cast<FileResolver*>(user);
    if (!entity->systemId) return 0;
    std::string path = entity->systemId;
    if (path.rfind("file:", 0) == 0) path = path.substr(5);
    if (path.empty() || path[0] != '/') path = r->directories.back() + path;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    reader->readArg = f;
    r->directories.push_back(DirectoryOf(path));
    return 0;
}

int CloseFile(void* user, XmlEntity*, XmlReader* reader) {
    std::fclose(static_cast<std::FILE*>(reader->readArg));
    static_cast<FileResolver*>(user)->directories.pop_back();
    return 0;
}

int IgnoreError(XmlParser*) { return 0; }

struct TestCase {
    std::string id, type, path, recommendation, version, namespaces;
};

struct IndexReader : FileResolver {
    XmlParser* parser = nullptr;
    std::vector<TestCase> cases;
};

int OnIndexElement(void* user, const char*, const char*, const char* qname, XmlAttributes* attributes) {
    auto* index = static_cast<IndexReader*>(user);
    if (std::strcmp(qname, "TEST") != 0) return 0;
    TestCase t;
    std::string uri;
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        XmlAttribute* a = XmlAttributeAt(attributes, i);
        std::string name = a->qname;
        if (name == "ID") t.id = a->value;
        if (name == "TYPE") t.type = a->value;
        if (name == "URI") uri = a->value;
        if (name == "RECOMMENDATION") t.recommendation = a->value;
        if (name == "VERSION") t.version = a->value;
        if (name == "NAMESPACE") t.namespaces = a->value;
    }
    t.path = index->directories.back() + uri;
    index->cases.push_back(t);
    return 0;
}

std::vector<TestCase> ReadIndex() {
    IndexReader index;
    index.directories.push_back(kRoot);
    XmlParser* parser = XmlParserCreate(nullptr);
    parser->userData = &index;
    parser->handlers.resolveEntity = ResolveFile;
    parser->handlers.closeEntity = CloseFile;
    parser->handlers.startElement = OnIndexElement;
    parser->handlers.errorHandler = IgnoreError;
    std::FILE* f = std::fopen((kRoot + "xmlconf.xml").c_str(), "rb");
    EXPECT_NE(f, nullptr) << "missing conformance suite at " << kRoot;
    if (f) {
        EXPECT_EQ(XmlParse(parser, XmlFileRead, f, nullptr), kOk) << parser->errorMessage;
        std::fclose(f);
    }
    XmlParserFree(parser);
    return index.cases;
}

bool IsXml10(const TestCase& t) {
    if (t.version == "1.1") return false;
    return t.recommendation.empty() || t.recommendation.rfind("XML1.0", 0) == 0;
}

// Parses one test document; returns true when it parsed without error.
bool Parses(const TestCase& t, std::string* message) {
    FileResolver resolver;
    resolver.directories.push_back(DirectoryOf(t.path));
    XmlParser* parser = XmlParserCreate(nullptr);
    parser->userData = &resolver;
    parser->options = XML_OPT_DEFAULT | XML_OPT_UNDEFINED_ENTITY_ERROR;
    if (t.namespaces == "no") parser->options &= ~XML_OPT_NAMESPACES;
    parser->handlers.resolveEntity = ResolveFile;
    parser->handlers.closeEntity = CloseFile;
    parser->handlers.errorHandler = IgnoreError;
    std::FILE* f = std::fopen(t.path.c_str(), "rb");
    int ok = 0;
    if (f) {
        ok = XmlParse(parser, XmlFileRead, f, nullptr) == kOk;
        std::fclose(f);
    }
    *message = f ? std::to_string(parser->errorCode) + " " + parser->errorMessage : "cannot open";
    XmlParserFree(parser);
    return ok == 1;
}

std::map<std::string, std::string> ReadDeviations() {
    std::map<std::string, std::string> deviations;
    std::ifstream in(KVN_XMLCONF_DEVIATIONS);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string id, reason;
        fields >> id;
        std::getline(fields, reason);
        deviations[id] = reason;
    }
    return deviations;
}

TEST(XmlConformance, NotWfFailAndValidParseExceptListedDeviations) {
    std::vector<TestCase> cases = ReadIndex();
    ASSERT_GT(cases.size(), 1000u);
    std::map<std::string, std::string> deviations = ReadDeviations();
    std::set<std::string> seen;
    std::map<std::string, int> passed, total, deviated;
    for (const TestCase& t : cases) {
        if ((t.type != "not-wf" && t.type != "valid") || !IsXml10(t)) continue;
        std::string message;
        bool parsed = Parses(t, &message);
        bool asExpected = parsed == (t.type == "valid");
        ++total[t.type];
        bool listed = deviations.count(t.id) > 0;
        if (listed) seen.insert(t.id);
        if (asExpected) {
            ++passed[t.type];
            EXPECT_FALSE(listed) << t.id << " is listed as a deviation but now conforms";
        } else {
            ++deviated[t.type];
            EXPECT_TRUE(listed) << t.id << " (" << t.type << ", " << t.path << "): " << message;
        }
    }
    for (const auto& [id, reason] : deviations)
        EXPECT_TRUE(seen.count(id)) << "deviation " << id << " names no test that was run";
    for (const auto& [type, n] : total)
        std::printf("xmlconf %s: %d of %d as expected, %d listed deviations\n", type.c_str(),
                    passed[type], n, deviated[type]);
}

}  // namespace
