// Validation of invoice documents against the embedded DTDs, and the driver that runs the
// DTD pass and the value-restriction pass.
#include "cfdi/validate.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "base/file.h"
#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/catalogs.h"
#include "cfdi/document.h"
#include "cfdi/dtd_catalogue.h"
#include "cfdi/namespaces.h"
#include "cfdi/restrictions.h"
#include "cfdi/rules.h"
#include "cfdi/schema_pass.h"
#include "kelvane.h"
#include "xml/compiled_dtd.h"
#include "xml/parser.h"
#include "xml/validator.h"

namespace kvn {
namespace {

constexpr const char* kSchemaInstanceUri = "http://www.w3.org/2001/XMLSchema-instance";

// The prefixes of the library's prefix table, in its order; their URIs come from it.
constexpr const char* kCanonicalPrefixes[] = {"cfdi",   "detallista", "divisas", "donat", "ecb",
                                              "ecc",    "implocal",   "psgecfd", "terceros", "tfd",
                                              "iedu",   "psgcfdsp",   "nomina"};

const char* PrefixForNamespace(const char* uri) {
    if (!uri || !*uri) return nullptr;
    for (const char* prefix : kCanonicalPrefixes) {
        const char* known = NamespaceForPrefix(prefix);
        if (known && std::strcmp(known, uri) == 0) return prefix;
    }
    return nullptr;
}

// The local part of an element name: the parser's local name when a namespace applies,
// else the qualified name after its prefix.
const char* LocalPart(const char* localName, const char* qname) {
    if (localName && *localName) return localName;
    const char* colon = std::strchr(qname, ':');
    return colon ? colon + 1 : qname;
}

// State of one DTD validation run, the validator's appState.
struct DtdRun {
    ValueRestrictionPass* values = nullptr;  // value checks riding on the same parse, if any
    bool errorSeen = false;
    bool insideAddenda = false;
    long startTags = 0;
    XmlEntity* subset = nullptr;  // the DTD installed as external subset
    const DtdText* embedded = nullptr;  // its text, when it is read from memory
    std::size_t embeddedRead = 0;       // bytes of it handed to the parser
    String baseDirectory;         // with its trailing separator, or empty
    String canonical;             // the name handed to the validator
};

DtdRun& RunOf(DtdValidator* v) { return *static_cast<DtdRun*>(v->appState); }

// Unprefixed names in a namespace of the prefix table are validated as prefix:local, so
// that a document written with a default namespace matches the DTD's prefixed names.
const char* CanonicalName(DtdRun& run, const char* uri, const char* localName, const char* qname) {
    if (std::strchr(qname, ':')) return qname;
    const char* prefix = PrefixForNamespace(uri);
    if (!prefix) return qname;
    run.canonical = prefix;
    run.canonical += ':';
    run.canonical += localName;
    return run.canonical.c_str();
}

// Feeds the value checks (if any) with an event.
template <class Feed>
void FeedValues(DtdValidator* v, Feed&& feed) {
    DtdRun& run = RunOf(v);
    if (run.values) feed(*run.values);
}

// The first byte settles nearly every name without a call.
bool IsAddenda(const char* local) { return local[0] == 'A' && std::strcmp(local, "Addenda") == 0; }

int StartElementWrapper(void* user, const char* uri, const char* localName, const char* qname, XmlAttributes* attributes) {
    auto* v = static_cast<DtdValidator*>(user);
    DtdRun& run = RunOf(v);
    FeedValues(v, [&](ValueRestrictionPass& p) { p.Start(uri, localName, qname, attributes); });
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        XmlAttribute* a = XmlAttributeAt(attributes, i);
        if (a->uri && a->uri[0] && std::strcmp(a->uri, kSchemaInstanceUri) == 0) ValidatorExemptAttribute(v, a);
    }
    if (IsAddenda(LocalPart(localName, qname))) run.insideAddenda = true;
    const char* name = CanonicalName(run, uri, localName, qname);
    ++run.startTags;
    return ValidatorStartElement(user, uri, localName, name, attributes);
}

int EndElementWrapper(void* user, const char* uri, const char* localName, const char* qname) {
    auto* v = static_cast<DtdValidator*>(user);
    DtdRun& run = RunOf(v);
    FeedValues(v, [&](ValueRestrictionPass& p) { p.End(uri, localName, qname); });
    if (IsAddenda(LocalPart(localName, qname))) run.insideAddenda = false;
    return ValidatorEndElement(user, uri, localName, CanonicalName(run, uri, localName, qname));
}

int CharactersWrapper(void* user, const char* text, int len) {
    auto* v = static_cast<DtdValidator*>(user);
    FeedValues(v, [&](ValueRestrictionPass& p) { p.AppendText(text, len); });
    return ValidatorCharacters(user, text, len);
}

int WhitespaceWrapper(void* user, const char* text, int len) {
    auto* v = static_cast<DtdValidator*>(user);
    FeedValues(v, [&](ValueRestrictionPass& p) { p.AppendText(text, len); });
    return ValidatorIgnorableWhitespace(user, text, len);
}

int ReportError(XmlParser* parser) {
    auto* v = static_cast<DtdValidator*>(parser->userData);
    DtdRun& run = RunOf(v);
    if (parser->errorCode != XML_ERROR_VALIDATION) {
        RecordError("XML/DTD Parsing Error: %s (Line: %d Col: %d)", parser->errorMessage, parser->errorLine,
                    parser->errorColumn);
        XmlEntity* entity = XmlGetCurrentEntity(parser);
        if (entity && !entity->systemId && entity->name) RecordError(" in entity: '%s'", entity->name);
        if (const char* systemId = XmlGetCurrentSystemId(parser)) RecordError(" SystemID: '%s'", systemId);
        return 0;
    }
    // Schema-instance attributes and foreign content inside Addenda are not the DTD's business.
    if (std::strstr(v->message, "xsi:") || std::strstr(v->message, "schemaLocation") || run.insideAddenda) return 0;
    RecordError("XML validation error/Error al validar XML: %s (Line/numero de linea: %d)", v->message,
                v->errorLine);
    run.errorSeen = true;
    return 0;
}

// A system ID is absolute when a ':' (drive or scheme) comes before any separator.
bool IsAbsoluteSystemId(const char* systemId) {
    std::size_t sep = std::strcspn(systemId, "/\\");
    const char* colon = std::strchr(systemId, ':');
    return colon && static_cast<std::size_t>(colon - systemId) < sep;
}

// XmlReadFn over the run's embedded DTD: copies the next bytes; 1 at its end.
int EmbeddedRead(void* buffer, int size, int* got, void* arg) {
    DtdRun& run = *static_cast<DtdRun*>(arg);
    const std::size_t left = run.embedded->size - run.embeddedRead;
    const std::size_t n = size > 0 && static_cast<std::size_t>(size) < left ? static_cast<std::size_t>(size) : left;
    std::memcpy(buffer, run.embedded->data + run.embeddedRead, n);
    run.embeddedRead += n;
    *got = static_cast<int>(n);
    return n < static_cast<std::size_t>(size > 0 ? size : 0) ? 1 : 0;
}

// Opens the DTD installed for this run (from memory for an embedded one), and nothing else: a document's own external
// subset and its external entities are left unread (skipped like entities without a
// resolver), so validating an untrusted document never reads other local files.
int ResolveEntity(void* user, XmlEntity* entity, XmlReader* reader) {
    auto* v = static_cast<DtdValidator*>(user);
    DtdRun& run = RunOf(v);
    if (entity != run.subset || !entity->systemId) return 0;
    if (run.embedded) {
        run.embeddedRead = 0;
        reader->read = EmbeddedRead;
        reader->readArg = &run;
        return 0;
    }
    String path;
    if (!IsAbsoluteSystemId(entity->systemId)) {
        const char* base = XmlGetScopedAttribute(v->parser, "xml:base");
        path = base ? base : run.baseDirectory.c_str();
    }
    path += entity->systemId;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        RecordError("Cannot open file '%s'/No se puede abrir el archivo", path.c_str());
        return 1;
    }
    reader->read = XmlFileRead;
    reader->readArg = f;
    return 0;
}

int CloseEntity(void*, XmlEntity*, XmlReader* reader) {
    if (reader->read == XmlFileRead && reader->readArg) std::fclose(static_cast<std::FILE*>(reader->readArg));
    reader->readArg = nullptr;
    return 0;
}

// Splits the DTD path into the base directory (through its last '/', or its last '\'
// when it has no '/') and the file name; without a directory part the base is that of
// the document.
void SplitDtdPath(const char* xmlFile, const char* dtdFile, String& base, String& name) {
    auto directoryEnd = [](const char* path) -> std::size_t {
        const char* sep = std::strrchr(path, '/');
        if (!sep) sep = std::strrchr(path, '\\');
        return sep ? static_cast<std::size_t>(sep - path) + 1 : 0;
    };
    std::size_t end = dtdFile ? directoryEnd(dtdFile) : 0;
    if (end) {
        base.assign(dtdFile, end);
        name = dtdFile + end;
        return;
    }
    base.assign(xmlFile, DocumentIsText() ? 0 : directoryEnd(xmlFile));
    if (dtdFile) name = dtdFile;
}

struct ParserDeleter {
    void operator()(XmlParser* p) const noexcept { XmlParserFree(p); }
};
struct ValidatorDeleter {
    void operator()(DtdValidator* v) const noexcept { DtdValidatorFree(v); }
};

// The DTD pass against dtdFile, or against an embedded DTD read from memory; with
// `values`, the value checks run on the same parse.
Error RunDtdPass(const char* xmlFile, const char* dtdFile, ValueRestrictionPass* values, const DtdText* embedded,
                 int* startTags) {
    if (startTags) *startTags = 0;
    if (!xmlFile) return Error::BAD_PARAM_ERROR;
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return Error::OPEN_ERROR;
    std::unique_ptr<XmlParser, ParserDeleter> parser(XmlParserCreate(nullptr));
    std::unique_ptr<DtdValidator, ValidatorDeleter> validator(DtdValidatorCreate());

    DtdRun run;
    String dtdName;
    SplitDtdPath(xmlFile, dtdFile, run.baseDirectory, dtdName);
    parser->handlers.errorHandler = ReportError;
    parser->handlers.resolveEntity = ResolveEntity;
    parser->handlers.closeEntity = CloseEntity;
    parser->options |= XML_OPT_CONTINUE_ON_VALIDITY;
    validator->hooks.startElement = StartElementWrapper;
    validator->hooks.endElement = EndElementWrapper;
    if (values) {
        validator->hooks.characters = CharactersWrapper;
        validator->hooks.ignorableWhitespace = WhitespaceWrapper;
    }
    run.values = values;
    validator->appState = &run;
    if (dtdFile || embedded) {
        // An embedded DTD is compiled once per process; its text is read only for a
        // document with a DOCTYPE of its own.
        const XmlCompiledDtd* compiled = embedded ? CompiledEmbeddedDtd(embedded->version) : nullptr;
        run.subset = compiled ? XmlUseCompiledDtd(parser.get(), compiled)
                              : XmlSetExternalSubset(parser.get(), nullptr, embedded ? embedded->name : dtdName.c_str());
        run.embedded = embedded;
    }

    const bool ok = DtdValidate(validator.get(), parser.get(), XmlFileRead, document.get(), nullptr) == kOk;
    if (ok && !run.errorSeen) {
        if (startTags) *startTags = static_cast<int>(run.startTags > 0x7FFFFFFF ? 0x7FFFFFFF : run.startTags);
        return kOk;
    }
    if (run.errorSeen || parser->errorCode == XML_ERROR_VALIDATION) return Error::BAD_XML_ERROR;
    return Error::BAD_DTD_ERROR;
}

// Whether a finding is about a value (its type, a facet, a fixed value, a catalog) rather
// than the document's structure.
bool IsValueFinding(const Finding& f) {
    if (f.kind != FindingKind::kSchema) return true;
    return std::strncmp(f.code, "XSD-VALUE-", 10) == 0 || std::strcmp(f.code, finding_code::kAttributeFixed) == 0;
}

// Runs the schema pass of `set` over xmlFile with the catalogs of catalogDir, and the rules
// of the document's kind on the same parse.
Error RunSchemaValidation(const char* xmlFile, const XsdSchemaSet& set, const char* catalogDir,
                          const SchemaPassOptions& options, int flags, FindingList& findings) {
    std::shared_ptr<const Catalogs> catalogs;
    if (Error rc = OpenCatalogs(CatalogFolder(catalogDir), &catalogs); Failed(rc)) return rc;
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return Error::OPEN_ERROR;
    RuleOptions rules;
    rules.registryRules = (flags & KVN_OPT_REGISTRY_RULES) != 0;
    rules.documentFile = xmlFile;
    RuleFanOut fanOut;
    if (options.checkValues) AddRuleFamilies(set, rules, fanOut);  // the rules are about values
    return RunSchemaPass(document.get(), set, *catalogs, options, fanOut.empty() ? nullptr : &fanOut, findings);
}

}  // namespace

const char* CatalogFolder(const char* catalogDir) noexcept {
    if (catalogDir && *catalogDir) return catalogDir;
    const char* env = std::getenv("KELVANE_CATALOGS");
    return env && *env ? env : nullptr;
}

Error ValidateFindings(const char* xmlFile, const char* catalogDir, int flags, FindingList& findings) {
    if (!xmlFile) return Error::BAD_PARAM_ERROR;
    int version = 0;
    if (Error rc = VersionNumber(xmlFile, version); Failed(rc)) return rc;
    const XsdSchemaSet* set = SchemaSetFor(version);
    if (!set) {
        RecordError("Findings are given for CFDI 3.3 and 4.0 and Retenciones 1.0 and 2.0; version '%d.%d' is "
                    "validated by KVN_ValidateXml/"
                    "Los hallazgos se dan para CFDI 3.3 y 4.0 y Retenciones 1.0 y 2.0; esta version se valida con "
                    "KVN_ValidateXml",
                    version / 10, version % 10);
        return Error::NOT_SUPPORTED_ERROR;
    }
    SchemaPassOptions options;
    options.checkValues = !(flags & KVN_OPT_NOFACETS);
    return RunSchemaValidation(xmlFile, *set, catalogDir, options, flags, findings);
}

Error ValidateAgainstDtd(const char* xmlFile, const char* dtdFile, int* startTags) {
    return RunDtdPass(xmlFile, dtdFile, nullptr, nullptr, startTags);
}

Error ValidateDocument(const char* xmlFile, int flags) {
    if (!xmlFile) return Error::BAD_PARAM_ERROR;
    int version = 0;
    if (Error rc = VersionNumber(xmlFile, version); Failed(rc)) return rc;
    if (const XsdSchemaSet* set = SchemaSetFor(version)) {
        SchemaPassOptions options;
        options.checkValues = !(flags & KVN_OPT_NOFACETS);
        options.firstErrorOnly = true;
        FindingList findings;
        if (Error rc = RunSchemaValidation(xmlFile, *set, nullptr, options, flags, findings); Failed(rc)) return rc;
        for (const Finding& f : findings) {
            if (f.severity != FindingSeverity::kError) continue;
            RecordError("XML validation error/Error al validar XML: [%s%s%s] %s (Line/numero de linea: %d)", f.path.c_str(),
                        f.attribute.empty() ? "" : "/@", f.attribute.c_str(), f.message.c_str(), f.line);
            return IsValueFinding(f) ? Error::XML_FACET_ERROR : Error::BAD_XML_ERROR;
        }
        return kOk;
    }
    if (version != 20 && version != 22 && version != 30 && version != 32) return Error::NOT_SUPPORTED_ERROR;

    const DtdText dtd = EmbeddedDtd(version);
    // The value checks ride on the DTD pass's parse (one read of the document instead of
    // two); their messages are kept and count only when the DTD pass finds no fault.
    UniquePtr<ValueRestrictionPass> values;
    const ElementEntry* table = SchemaTableForVersion(version);
    if (table && !(flags & KVN_OPT_NOFACETS)) values = MakeUnique<ValueRestrictionPass>(table, true);
    if (Error rc = RunDtdPass(xmlFile, nullptr, values.get(), &dtd, nullptr); Failed(rc)) return rc;
    if (values) {
        values->Flush();
        if (values->violations() > 0) return Error::XML_FACET_ERROR;
    }
    return kOk;
}

}  // namespace kvn
