// xmlcheck [-e] [-n] [-v] FILE...
//   Parses each FILE with the library's XML parser and prints
//   "FILE:LINE:COLUMN: error CODE: MESSAGE" for a failure.
//   -e  read external entities (DTD subsets, parameter and general entities) from files
//       named by their system identifiers, relative to the referring file
//   -u  a reference to an undeclared general entity is an error
//   -v  print the parse events
// Exit status: 0 when every file parsed without error, 1 otherwise, 2 on bad usage.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "xml/parser.h"

namespace {

struct Options {
    bool external = false;
    bool verbose = false;
    std::uint32_t flags = kvn::XML_OPT_DEFAULT;
};

struct Context {
    const Options* options;
    std::vector<std::string> directories;  // of the entities being read, innermost last
};

int OnError(kvn::XmlParser*) { return 0; }

std::string DirectoryOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

int OnResolve(void* user, kvn::XmlEntity* entity, kvn::XmlReader* reader) {
    auto* ctx = static_cast<Context*>(user);
    if (!entity->systemId) return 0;
    std::string path = entity->systemId;
    if (path.rfind("file:", 0) == 0) path = path.substr(5);
    if (path.empty() || path[0] != '/') path = ctx->directories.back() + path;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return 0;
    reader->readArg = f;
    ctx->directories.push_back(DirectoryOf(path));
    return 0;
}

int OnClose(void* user, kvn::XmlEntity*, kvn::XmlReader* reader) {
    auto* ctx = static_cast<Context*>(user);
    std::fclose(static_cast<std::FILE*>(reader->readArg));
    ctx->directories.pop_back();
    return 0;
}

int OnStart(void*, const char* uri, const char* local, const char* qname, kvn::XmlAttributes* attributes) {
    std::printf("start %s {%s}%s", qname, uri, local);
    for (std::uint32_t i = 0; i < kvn::XmlAttributeCount(attributes); ++i) {
        kvn::XmlAttribute* a = kvn::XmlAttributeAt(attributes, i);
        std::printf(" %s=\"%s\"", a->qname, a->value);
    }
    std::printf("\n");
    return 0;
}

int OnEnd(void*, const char*, const char*, const char* qname) {
    std::printf("end %s\n", qname);
    return 0;
}

int OnText(void*, const char* text, int len) {
    std::printf("text \"%.*s\"\n", len, text);
    return 0;
}

int CheckFile(const char* path, const Options& options) {
    std::FILE* f = std::fopen(path, "rb");
    if (!f) {
        std::fprintf(stderr, "%s: cannot open\n", path);
        return 1;
    }
    kvn::XmlParser* parser = kvn::XmlParserCreate(nullptr);
    Context ctx{&options, {DirectoryOf(path)}};
    parser->userData = &ctx;
    parser->options = options.flags;
    parser->handlers.errorHandler = OnError;
    if (options.external) {
        parser->handlers.resolveEntity = OnResolve;
        parser->handlers.closeEntity = OnClose;
    }
    if (options.verbose) {
        parser->handlers.startElement = OnStart;
        parser->handlers.endElement = OnEnd;
        parser->handlers.characters = OnText;
    }
    int ok = kvn::XmlParse(parser, kvn::XmlFileRead, f, nullptr) == kvn::kOk;
    if (!ok)
        std::printf("%s:%d:%d: error %u: %s\n", path, parser->errorLine, parser->errorColumn,
                    parser->errorCode, parser->errorMessage);
    kvn::XmlParserFree(parser);
    std::fclose(f);
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "-e") == 0)
            options.external = true;
        else if (std::strcmp(argv[first], "-u") == 0)
            options.flags |= kvn::XML_OPT_UNDEFINED_ENTITY_ERROR;
        else if (std::strcmp(argv[first], "-v") == 0)
            options.verbose = true;
        else {
            std::fprintf(stderr, "usage: xmlcheck [-e] [-u] [-v] FILE...\n");
            return 2;
        }
    }
    if (first >= argc) {
        std::fprintf(stderr, "usage: xmlcheck [-e] [-u] [-v] FILE...\n");
        return 2;
    }
    int status = 0;
    for (int i = first; i < argc; ++i) status |= CheckFile(argv[i], options);
    return status;
}
