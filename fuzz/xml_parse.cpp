// Fuzz target: the XML parser with the declaration reader, every handler installed.
// An external entity is served from the input itself, so the entity paths run too.
#include <cstddef>
#include <cstdint>

#include "xml/parser.h"

namespace {

int Resolve(void* user, kvn::XmlEntity*, kvn::XmlReader* reader) {
    static kvn::MemorySource source;
    auto* input = static_cast<kvn::MemorySource*>(user);
    source = kvn::MemorySource{input->data, input->length > 64 ? 64 : input->length, 0};
    reader->read = kvn::MemoryRead;
    reader->readArg = &source;
    return 0;
}

int Count(void*, const char*, int) { return 0; }
int Error(kvn::XmlParser*) { return 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kvn::XmlParser* parser = kvn::XmlParserCreate(nullptr);
    kvn::MemorySource input{reinterpret_cast<const char*>(data), size, 0};
    parser->userData = &input;
    parser->options = size > 0 && (data[0] & 1) ? kvn::XML_OPT_DEFAULT | kvn::XML_OPT_KEEP_DECLARATIONS
                                                : kvn::XML_OPT_DEFAULT | kvn::XML_OPT_CHUNKED_TEXT;
    parser->handlers.characters = Count;
    parser->handlers.comment = Count;
    parser->handlers.resolveEntity = Resolve;
    parser->handlers.errorHandler = Error;
    (void)kvn::XmlParse(parser, kvn::MemoryRead, &input, nullptr);
    kvn::XmlParserFree(parser);
    return 0;
}
