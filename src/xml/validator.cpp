// The DTD validator: declarations collected while the DTD is read, content models
// compiled when it ends, and the checks of start tags, attributes, text and end tags.
#include "xml/validator.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

#include "xml/names.h"
#include "xml/parser_internal.h"
#include "xml/validator_automaton.h"

namespace kvn {

// What the validator knows of one declared element. Names point into the parser's
// declaration records, which live until XmlParse returns.
struct ValidatorDeclaration {
    const XmlElementDecl* decl = nullptr;
    int kind = 0;
    UniquePtr<ContentAutomaton> automaton;      // kinds 1, 2, and 3 with names
    Vec<const XmlAttributeDef*> required;       // #REQUIRED definitions, declaration order
    Vec<const XmlAttributeDef*> others;         // the rest, in byte order of their names
};

// One open element. `info` is null for an undeclared element and below it: such
// entries accept anything and nothing under them is checked.
struct ValidatorStackEntry {
    ValidatorDeclaration* info;
    AutomatonState* state;
    bool unchecked;
};

// An ID value seen as a definition or as a reference, in order of first appearance.
struct ValidatorIdRecord {
    String value;
    bool defined;
    int line;  // where it was first referenced
};

template <class K, class V>
using ValidatorMap = std::unordered_map<K, V, std::hash<K>, std::equal_to<K>, Allocator<std::pair<const K, V>>>;

// The declared elements by name. A validator fills its own while the DTD is read; a
// compiled DTD (xml/compiled_dtd.h) keeps one for every parse that adopts it.
struct ValidatorDeclarations {
    Vec<UniquePtr<ValidatorDeclaration>> list;
    ValidatorMap<std::string_view, ValidatorDeclaration*> byName;
    void Clear() {
        list.clear();
        byName.clear();
    }
};

struct ValidatorState {
    ValidatorDeclarations own;
    const ValidatorDeclarations* shared = nullptr;  // a compiled DTD's, when the parser adopted one
    Vec<ValidatorStackEntry> stack;
    Vec<UniquePtr<ValidatorIdRecord>> ids;                // records stay put: the index keys view them
    ValidatorMap<std::string_view, std::size_t> idIndex;
    String doctypeName;
    bool hasDoctype = false;

    const ValidatorDeclarations& Declarations() const { return shared ? *shared : own; }

    void Clear() {
        own.Clear();
        shared = nullptr;
        stack.clear();
        idIndex.clear();
        ids.clear();
        doctypeName.clear();
        hasDoctype = false;
    }
};

namespace {

// The value pointer of an attribute already checked: it cannot be a real value, the text
// itself stays in the attribute's own buffer.
const char kCheckedMark[] = "";

const char* const kMessages[] = {
    nullptr,
    "Out of memory",
    "Content model for '%s' doesn't allow element '%s' here",
    "Undeclared element '%s'",
    "Content model for '%s' doesn't allow character data",
    "Content model for '%s' doesn't allow it to end here",
    "Required attribute '%s' missing for element '%s'",
    "Undeclared attribute '%s' in element '%s'",
    "Value for attribute '%s' in element '%s' doesn't match its declared value",
    "Root element should be '%s'",
    "Value for ID attribute '%s' in element '%s' isn't unique",
    "ID attribute with value '%s' not found. Cannot resolve reference (IDREF)",
};

constexpr std::size_t kMessageUsable = sizeof(DtdValidator::message) - 1;

// Items offered after a message: labels of a state's transitions or enumerated values.
struct Suggestions {
    const AutomatonState* state = nullptr;
    const XmlAttributeDef* def = nullptr;

    std::size_t Count() const {
        if (state) return state->transitions.size();
        if (def && def->values) return static_cast<std::size_t>(def->valueCount);
        return 0;
    }
    const char* At(std::size_t i) const { return state ? state->transitions[i].label : def->values[i]; }
};

// Appends ". Try: " and at most four items separated by ", ", then "..." when more remain;
// an item that would not fit in the usable bytes ends the list.
void AppendSuggestions(char* out, const Suggestions& items) {
    std::size_t count = items.Count();
    if (count == 0) return;
    std::size_t len = std::strlen(out);
    auto append = [&](const char* text) {
        std::size_t n = std::min(std::strlen(text), kMessageUsable - len);
        std::memcpy(out + len, text, n);
        len += n;
        out[len] = 0;
    };
    append(". Try: ");
    for (std::size_t i = 0; i < count; ++i) {
        if (i == 4) {
            append("...");
            break;
        }
        const char* item = items.At(i);
        std::size_t need = std::strlen(item) + (i ? 2 : 0);
        if (len + need > kMessageUsable) break;
        if (i) append(", ");
        append(item);
    }
}

DtdValidator* Self(void* user) { return static_cast<DtdValidator*>(user); }

// Records a validation error. Returns the hook's result: 0 to go on (the error was handed
// to errorHandler and cleared), 1 to stop the parse with code 300 in place.
int Report(DtdValidator* v, int number, const char* arg1, const char* arg2, const Suggestions& items = {},
           int line = 0) {
    XmlParser* p = v->parser;
    v->errorNumber = number;
    std::snprintf(v->message, sizeof v->message, kMessages[number], arg1, arg2);
    AppendSuggestions(v->message, items);
    v->errorLine = line ? line : XmlGetLine(p);
    v->errorColumn = line ? 0 : XmlGetColumn(p);
    p->errorCode = XML_ERROR_VALIDATION;
    std::memcpy(p->errorMessage, v->message, sizeof p->errorMessage);
    p->errorLine = v->errorLine;
    p->errorColumn = v->errorColumn;
    if (!(p->options & XML_OPT_CONTINUE_ON_VALIDITY)) return 1;
    if (p->handlers.errorHandler) p->handlers.errorHandler(p);
    p->errorCode = XML_ERROR_NONE;
    return 0;
}

bool IsMarked(const XmlAttribute* a) { return a->value == kCheckedMark; }

// --- attribute values ----------------------------------------------------------------

// Whether [s, end) is one Name (nameStart) or one Nmtoken.
bool IsToken(const unsigned char* s, const unsigned char* end, bool name) {
    if (s == end) return false;
    for (bool first = true; s < end; first = false) {
        std::size_t len = XmlSequenceLength(*s);
        if (len > static_cast<std::size_t>(end - s)) return false;
        if (!XmlNameCharAt(s, len, name && first)) return false;
        s += len;
    }
    return true;
}

// Single tokens, or tokens separated by single spaces for the list types.
template <class OnToken>
bool ForEachToken(const char* value, bool name, bool list, OnToken&& onToken) {
    const auto* s = reinterpret_cast<const unsigned char*>(value);
    const auto* end = s + std::strlen(value);
    if (s == end) return false;
    for (;;) {
        const auto* space = static_cast<const unsigned char*>(std::memchr(s, ' ', static_cast<std::size_t>(end - s)));
        const auto* stop = space ? space : end;
        if (!IsToken(s, stop, name)) return false;
        onToken(reinterpret_cast<const char*>(s), static_cast<std::size_t>(stop - s));
        if (!space) return true;
        if (!list) return false;
        s = space + 1;
    }
}

ValidatorIdRecord* FindId(ValidatorState* st, std::string_view value) {
    auto it = st->idIndex.find(value);
    return it == st->idIndex.end() ? nullptr : st->ids[it->second].get();
}

ValidatorIdRecord* AddId(ValidatorState* st, std::string_view value, bool defined, int line) {
    st->ids.push_back(MakeUnique<ValidatorIdRecord>(ValidatorIdRecord{String(value), defined, line}));
    ValidatorIdRecord* id = st->ids.back().get();
    st->idIndex.emplace(std::string_view(id->value), st->ids.size() - 1);
    return id;
}

// Checks one attribute value against its definition. Returns the hook result.
int CheckValue(DtdValidator* v, const char* element, const XmlAttribute* a, const XmlAttributeDef* def) {
    const char* value = a->value;
    if (def->type == XML_ATTR_ENUMERATION || def->type == XML_ATTR_NOTATION) {
        for (int i = 0; i < def->valueCount; ++i) {
            if (std::strcmp(def->values[i], value) == 0) return 0;
        }
        return Report(v, VALID_BAD_VALUE, a->qname, element, Suggestions{nullptr, def});
    }
    if (def->type == XML_ATTR_CDATA) return 0;
    bool name = def->type != XML_ATTR_NMTOKEN && def->type != XML_ATTR_NMTOKENS;
    bool list = def->type == XML_ATTR_IDREFS || def->type == XML_ATTR_ENTITIES || def->type == XML_ATTR_NMTOKENS;
    if (!ForEachToken(value, name, list, [](const char*, std::size_t) {})) {
        return Report(v, VALID_BAD_VALUE, a->qname, element);
    }
    ValidatorState* st = v->state;
    int line = XmlGetLine(v->parser);
    if (def->type == XML_ATTR_ID) {
        ValidatorIdRecord* id = FindId(st, value);
        if (id && id->defined) return Report(v, VALID_DUPLICATE_ID, a->qname, element);
        if (id) id->defined = true;
        else AddId(st, value, true, line);
    } else if (def->type == XML_ATTR_IDREF || def->type == XML_ATTR_IDREFS) {
        ForEachToken(value, true, true, [&](const char* token, std::size_t n) {
            std::string_view ref(token, n);
            if (!FindId(st, ref)) AddId(st, ref, false, line);
        });
    }
    return 0;
}

// The attribute named qname, searched from index `from` on and then from the start (a
// document mostly writes its attributes in the order they were declared).
XmlAttribute* FindAttribute(XmlAttributes* attributes, const char* qname, std::uint32_t& from) {
    std::uint32_t count = XmlAttributeCount(attributes);
    for (std::uint32_t k = 0; k < count; ++k) {
        std::uint32_t i = (from + k) % count;
        XmlAttribute* a = XmlAttributeAt(attributes, i);
        if (std::strcmp(a->qname, qname) == 0) {
            from = i + 1;
            return a;
        }
    }
    return nullptr;
}

const XmlAttributeDef* FindOtherDefinition(const ValidatorDeclaration& info, const char* name) {
    auto it = std::lower_bound(info.others.begin(), info.others.end(), name,
                               [](const XmlAttributeDef* d, const char* n) { return std::strcmp(d->name, n) < 0; });
    return it != info.others.end() && std::strcmp((*it)->name, name) == 0 ? *it : nullptr;
}

int CheckAttributes(DtdValidator* v, const ValidatorDeclaration& info, const char* element, XmlAttributes* attributes) {
    std::uint32_t from = 0;
    for (const XmlAttributeDef* def : info.required) {
        XmlAttribute* a = FindAttribute(attributes, def->name, from);
        if (!a) {
            if (Report(v, VALID_MISSING_ATTRIBUTE, def->name, element)) return 1;
            continue;
        }
        if (IsMarked(a)) continue;
        if (CheckValue(v, element, a, def)) return 1;
        a->value = kCheckedMark;
    }
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        XmlAttribute* a = XmlAttributeAt(attributes, i);
        if (a->defaulted) continue;
        if (IsMarked(a)) {
            a->value = a->text;
            continue;
        }
        const XmlAttributeDef* def = FindOtherDefinition(info, a->qname);
        if (!def) {
            if (Report(v, VALID_UNDECLARED_ATTRIBUTE, a->qname, element)) return 1;
            continue;
        }
        if (def->defaultKind == XML_DEFAULT_FIXED && std::strcmp(a->value, def->defaultValue ? def->defaultValue : "")) {
            if (Report(v, VALID_BAD_VALUE, a->qname, element)) return 1;
            continue;
        }
        if (CheckValue(v, element, a, def)) return 1;
    }
    return 0;
}

// Restores the values of marked attributes when a check stopped before doing so.
void RestoreMarked(XmlAttributes* attributes) {
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        XmlAttribute* a = XmlAttributeAt(attributes, i);
        if (IsMarked(a)) a->value = a->text;
    }
}

// --- element checks ------------------------------------------------------------------

int CheckStart(DtdValidator* v, const char* qname, XmlAttributes* attributes) {
    ValidatorState* st = v->state;
    bool unchecked = false;
    if (st->stack.empty()) {
        if (st->hasDoctype && v->hooks.startElement == ValidatorStartElement && st->doctypeName != qname) {
            if (Report(v, VALID_WRONG_ROOT, st->doctypeName.c_str(), nullptr)) return 1;
        }
    } else {
        ValidatorStackEntry& parent = st->stack.back();
        unchecked = parent.unchecked;
        if (!unchecked && parent.info && parent.info->kind != XML_CONTENT_ANY) {
            AutomatonState* next = parent.state ? AutomatonStep(parent.state, qname) : nullptr;
            if (next) {
                parent.state = next;
            } else if (Report(v, VALID_ELEMENT_NOT_ALLOWED, parent.info->decl->name, qname,
                              Suggestions{parent.state, nullptr})) {
                return 1;
            }
        }
    }
    if (unchecked) {
        st->stack.push_back({nullptr, nullptr, true});
        return 0;
    }
    const auto& byName = st->Declarations().byName;
    auto it = byName.find(qname);
    if (it == byName.end()) {
        st->stack.push_back({nullptr, nullptr, true});
        return Report(v, VALID_UNDECLARED_ELEMENT, qname, nullptr);
    }
    ValidatorDeclaration* info = it->second;
    st->stack.push_back({info, info->automaton ? info->automaton->start : nullptr, false});
    int stop = CheckAttributes(v, *info, info->decl->name, attributes);
    if (stop) RestoreMarked(attributes);
    return stop;
}

int CheckEnd(DtdValidator* v) {
    ValidatorState* st = v->state;
    if (st->stack.empty()) return 0;
    ValidatorStackEntry entry = st->stack.back();
    st->stack.pop_back();
    if (entry.unchecked || !entry.state || entry.state->accepting) return 0;
    return Report(v, VALID_CANNOT_END, entry.info->decl->name, nullptr, Suggestions{entry.state, nullptr});
}

// --- declarations --------------------------------------------------------------------

int OnElementDecl(void* user, const char* name, XmlElementDecl* decl, const char* model) {
    DtdValidator* v = Self(user);
    int stop = [&] {
        ValidatorState* st = v->state;
        if (!decl || st->own.byName.count(name)) return 0;  // the first declaration binds
        auto info = MakeUnique<ValidatorDeclaration>();
        info->decl = decl;
        info->kind = decl->kind;
        st->own.list.push_back(std::move(info));
        st->own.byName.emplace(std::string_view(decl->name), st->own.list.back().get());
        return 0;
    }();
    if (stop) return stop;
    return v->application.elementDecl ? v->application.elementDecl(user, name, decl, model) : 0;
}

void CompileDeclaration(XmlParser* parser, ValidatorDeclaration& info) {
    const XmlElementDecl* decl = info.decl;
    bool namedMixed = decl->kind == XML_CONTENT_MIXED && decl->model && decl->model->firstChild;
    if ((decl->kind == XML_CONTENT_CHOICE || decl->kind == XML_CONTENT_SEQUENCE || namedMixed) && decl->model) {
        info.automaton = CompileContentModel(decl->model, decl->kind);
    }
    if (const Vec<const XmlAttributeDef*>* defs = XmlGetAttributeDefs(parser, decl->name)) {
        for (const XmlAttributeDef* def : *defs)
            (def->defaultKind == XML_DEFAULT_REQUIRED ? info.required : info.others).push_back(def);
    }
    std::stable_sort(info.others.begin(), info.others.end(),
                     [](const XmlAttributeDef* a, const XmlAttributeDef* b) { return std::strcmp(a->name, b->name) < 0; });
}

int OnEndDtd(void* user) {
    DtdValidator* v = Self(user);
    int stop = [&] {
        for (auto& info : v->state->own.list) CompileDeclaration(v->parser, *info);
        // A compiled DTD brings its models compiled.
        if (const XmlCompiledDtd* dtd = v->parser->state->adoptedDtd) v->state->shared = dtd->declarations;
        return 0;
    }();
    if (stop) return stop;
    return v->application.endDTD ? v->application.endDTD(user) : 0;
}

int OnStartDtd(void* user, const char* rootName, const char* publicId, const char* systemId, int internalSubset) {
    DtdValidator* v = Self(user);
    int stop = [&] {
        if (rootName && *rootName && !v->state->hasDoctype) {
            v->state->hasDoctype = true;
            v->state->doctypeName = rootName;
        }
        return 0;
    }();
    if (stop) return stop;
    return v->application.startDTD ? v->application.startDTD(user, rootName, publicId, systemId, internalSubset) : 0;
}

// After the parse: every reference to an ID never defined, once per value.
int ResolveReferences(DtdValidator* v) {
    for (const auto& id : v->state->ids) {
        if (!id->defined && Report(v, VALID_UNRESOLVED_IDREF, id->value.c_str(), nullptr, {}, id->line)) return 1;
    }
    return 0;
}

}  // namespace

// --- the four hooks ------------------------------------------------------------------

int ValidatorStartElement(void* user, const char* uri, const char* localName, const char* qname,
                          XmlAttributes* attributes) {
    DtdValidator* v = Self(user);
    if (CheckStart(v, qname, attributes)) return 1;
    auto* handler = v->application.startElement;
    return handler ? handler(user, uri, localName, qname, attributes) : 0;
}

int ValidatorEndElement(void* user, const char* uri, const char* localName, const char* qname) {
    DtdValidator* v = Self(user);
    if (CheckEnd(v)) return 1;
    auto* handler = v->application.endElement;
    return handler ? handler(user, uri, localName, qname) : 0;
}

int ValidatorCharacters(void* user, const char* text, int len) {
    DtdValidator* v = Self(user);
    ValidatorState* st = v->state;
    if (!st->stack.empty()) {
        const ValidatorStackEntry& e = st->stack.back();
        if (!e.unchecked && e.info->kind != XML_CONTENT_MIXED && e.info->kind != XML_CONTENT_ANY) {
            if (Report(v, VALID_NO_CHARACTER_DATA, e.info->decl->name, nullptr)) return 1;
        }
    }
    auto* handler = v->application.characters;
    return handler ? handler(user, text, len) : 0;
}

int ValidatorIgnorableWhitespace(void* user, const char* text, int len) {
    DtdValidator* v = Self(user);
    ValidatorState* st = v->state;
    bool inText = false;
    if (!st->stack.empty()) {
        const ValidatorStackEntry& e = st->stack.back();
        inText = e.unchecked || e.info->kind == XML_CONTENT_MIXED || e.info->kind == XML_CONTENT_ANY;
    }
    auto* handler = inText ? v->application.characters : v->application.ignorableWhitespace;
    return handler ? handler(user, text, len) : 0;
}

void ValidatorExemptAttribute(DtdValidator*, XmlAttribute* attribute) noexcept { attribute->value = kCheckedMark; }

// --- lifecycle -----------------------------------------------------------------------

ValidatorDeclarations* ValidatorTakeDeclarations(DtdValidator* validator) {
    auto taken = MakeUnique<ValidatorDeclarations>();
    std::swap(*taken, validator->state->own);
    return taken.release();
}

void ValidatorDeclarationsFree(ValidatorDeclarations* declarations) noexcept {
    Deleter<ValidatorDeclarations>()(declarations);
}

DtdValidator* DtdValidatorCreate() {
    auto v = MakeUnique<DtdValidator>();
    auto st = MakeUnique<ValidatorState>();
    st->own.list.reserve(16);
    v->state = st.release();
    v->hooks = {ValidatorStartElement, ValidatorEndElement, ValidatorCharacters, ValidatorIgnorableWhitespace};
    return v.release();
}

void DtdValidatorFree(DtdValidator* validator) noexcept {
    if (!validator) return;
    Deleter<ValidatorState>()(validator->state);
    Deleter<DtdValidator>()(validator);
}

Error DtdValidate(DtdValidator* v, XmlParser* parser, XmlReadFn readFn, void* readArg, const char* encodingName) {
    v->state->Clear();
    v->parser = parser;
    v->errorNumber = 0;
    v->message[0] = 0;
    v->application = parser->handlers;
    void* savedUser = parser->userData;

    XmlHandlers& h = parser->handlers;
    h.startElement = v->hooks.startElement;
    h.endElement = v->hooks.endElement;
    h.characters = v->hooks.characters;
    h.ignorableWhitespace = v->hooks.ignorableWhitespace;
    h.elementDecl = OnElementDecl;
    h.endDTD = OnEndDtd;
    h.startDTD = OnStartDtd;
    parser->userData = v;
    parser->options |= XML_OPT_KEEP_DECLARATIONS;

    // On every way out (an exception included) the parser gets its handlers back, and
    // what points into the declaration records, which died with the parse, is dropped.
    struct Restore {
        DtdValidator* v;
        XmlParser* parser;
        void* savedUser;
        ~Restore() {
            v->state->own.Clear();
            v->state->shared = nullptr;
            v->state->stack.clear();
            parser->options &= ~XML_OPT_KEEP_DECLARATIONS;
            parser->handlers = v->application;
            parser->userData = savedUser;
            v->parser = nullptr;
        }
    } restore{v, parser, savedUser};
    Error result = XmlParse(parser, readFn, readArg, encodingName);
    if (result == kOk && ResolveReferences(v)) result = Error::BAD_XML_ERROR;
    if (parser->errorCode != XML_ERROR_NONE) result = Error::BAD_XML_ERROR;
    return result;
}

}  // namespace kvn
