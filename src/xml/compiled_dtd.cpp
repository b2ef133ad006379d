// Compiled DTDs: made by a validating parse of an empty document whose installed subset is
// the DTD, taken out of the parser and the validator when the DTD ends.
#include "xml/compiled_dtd.h"

#include <cstring>
#include <utility>

#include "xml/parser_internal.h"
#include "xml/validator.h"

namespace kvn {

XmlCompiledDtd::~XmlCompiledDtd() { ValidatorDeclarationsFree(declarations); }

void XmlCompiledDtdDeleter::operator()(XmlCompiledDtd* dtd) const noexcept { Deleter<XmlCompiledDtd>()(dtd); }

namespace {

struct Source {
    const char* data;
    std::size_t size;
    std::size_t read = 0;
};

// XmlReadFn over a Source: the next bytes; 1 at its end.
int SourceRead(void* buffer, int size, int* got, void* arg) {
    Source& s = *static_cast<Source*>(arg);
    const std::size_t want = size > 0 ? static_cast<std::size_t>(size) : 0;
    const std::size_t n = want < s.size - s.read ? want : s.size - s.read;
    std::memcpy(buffer, s.data + s.read, n);
    s.read += n;
    *got = static_cast<int>(n);
    return n < want ? 1 : 0;
}

struct Build {
    Source text;
    XmlCompiledDtd* out;
    bool done = false;
};

int ServeSubset(void* user, XmlEntity*, XmlReader* reader) {
    auto* v = static_cast<DtdValidator*>(user);
    Build& build = *static_cast<Build*>(v->appState);
    build.text.read = 0;
    reader->read = SourceRead;
    reader->readArg = &build.text;
    return 0;
}

// The DTD has been read and its models compiled: its tables move to the compiled DTD,
// and the parse stops (the document itself is not wanted).
int TakeDtd(void* user) {
    auto* v = static_cast<DtdValidator*>(user);
    Build& build = *static_cast<Build*>(v->appState);
    XmlParserState* st = v->parser->state;
    XmlCompiledDtd& out = *build.out;
    out.arena.Swap(st->arena);
    out.generalEntities.swap(st->generalEntities);
    out.parameterEntities.swap(st->parameterEntities);
    out.attlists.swap(st->attlists);
    out.declarations = ValidatorTakeDeclarations(v);
    build.done = true;
    return 1;
}

struct ParserDeleter {
    void operator()(XmlParser* p) const noexcept { XmlParserFree(p); }
};
struct ValidatorDeleter {
    void operator()(DtdValidator* v) const noexcept { DtdValidatorFree(v); }
};

}  // namespace

Error XmlCompileDtd(XmlCompiledDtdPtr& out, const char* text, std::size_t size, const char* systemId) {
    out.reset();
    XmlCompiledDtdPtr dtd(MakeUnique<XmlCompiledDtd>().release());
    dtd->systemId = systemId ? systemId : "";
    std::unique_ptr<XmlParser, ParserDeleter> parser(XmlParserCreate(nullptr));
    std::unique_ptr<DtdValidator, ValidatorDeleter> validator(DtdValidatorCreate());
    Build build{Source{text, size}, dtd.get()};
    parser->handlers.resolveEntity = ServeSubset;
    parser->handlers.endDTD = TakeDtd;
    validator->appState = &build;
    XmlSetExternalSubset(parser.get(), nullptr, dtd->systemId.c_str());
    static const char kDocument[] = "<x/>";
    Source document{kDocument, sizeof kDocument - 1};
    (void)DtdValidate(validator.get(), parser.get(), SourceRead, &document, nullptr);
    if (!build.done) return Error::BAD_DTD_ERROR;
    out = std::move(dtd);
    return kOk;
}

XmlEntity* XmlUseCompiledDtd(XmlParser* parser, const XmlCompiledDtd* dtd) {
    XmlEntity* subset = XmlSetExternalSubset(parser, nullptr, dtd->systemId.c_str());
    parser->state->compiledSubset = dtd;
    return subset;
}

// The adopted DTD's general entities are copied into this parse's tables: an entity record
// carries its expansion state. Everything else is read where it is.
void XmlParserState::AdoptCompiledDtd() {
    hasExternalDtdParts = true;
    if (H().startEntity) Check(H().startEntity(User(), installedSubset));
    adoptedDtd = compiledSubset;
    for (const auto& entry : compiledSubset->generalEntities) {
        auto* copy = static_cast<XmlEntity*>(arena.Alloc(sizeof(XmlEntity)));
        *copy = *entry.second;
        copy->inUse = 0;
        generalEntities.try_emplace(copy->name, copy);
    }
    if (H().endEntity) Check(H().endEntity(User(), installedSubset));
}

}  // namespace kvn
