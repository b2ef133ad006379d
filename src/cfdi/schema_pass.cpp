// The validation pass over the compiled schemas.
#include "cfdi/schema_pass.h"

#include <cstring>
#include <memory>

#include "base/lasterror.h"
#include "cfdi/xsd_values.h"
#include "xml/parser.h"

namespace kvn {
namespace {

constexpr const char* kSchemaInstance = "http://www.w3.org/2001/XMLSchema-instance";
// Longest element text the pass keeps to check; longer text is reported as not checked.
constexpr std::size_t kMaxText = std::size_t{1} << 20;

const XsdElementTables& Elements() noexcept { return kXsdElementTables; }
const XsdTypeTables& Types() noexcept { return kXsdTypeTables; }

const char* OrEmpty(const char* s) noexcept { return s ? s : ""; }

bool IsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool NameIs(const XsdElement& e, const char* uri, const char* local) noexcept {
    return std::strcmp(e.local, local) == 0 && std::strcmp(e.ns, uri) == 0;
}

// FNV-1a, 64 bits: sibling counts are kept by the hash of the qualified name.
std::uint64_t NameKey(const char* s) noexcept {
    std::uint64_t h = 14695981039346656037ull;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(s); *p; ++p) h = (h ^ *p) * 1099511628211ull;
    return h;
}

// The finding code of a value fault.
const char* ValueCode(XsdFault fault) noexcept {
    switch (fault) {
    case XsdFault::kLexical: return finding_code::kValueType;
    case XsdFault::kLength: return finding_code::kValueLength;
    case XsdFault::kPattern: return finding_code::kValuePattern;
    case XsdFault::kEnumeration: return finding_code::kValueEnumeration;
    case XsdFault::kRange: return finding_code::kValueRange;
    case XsdFault::kDigits: return finding_code::kValueDigits;
    case XsdFault::kNone: break;
    }
    return finding_code::kValueType;
}

// yyyymmdd of a text beginning "yyyy-mm-dd", else 0.
std::int32_t DateOf(const char* v) noexcept {
    for (int i = 0; i < 10; ++i) {
        const char c = v[i];
        const bool dash = i == 4 || i == 7;
        if (dash ? c != '-' : (c < '0' || c > '9')) return 0;
    }
    const std::int32_t y = (v[0] - '0') * 1000 + (v[1] - '0') * 100 + (v[2] - '0') * 10 + (v[3] - '0');
    const std::int32_t m = (v[5] - '0') * 10 + (v[6] - '0');
    const std::int32_t d = (v[8] - '0') * 10 + (v[9] - '0');
    if (m < 1 || m > 12 || d < 1 || d > 31) return 0;
    return y * 10000 + m * 100 + d;
}

struct Frame {
    const XsdElement* declaration;
    const XsdComplexType* type;  // null when the element has a simple type
    std::uint32_t state;         // content automaton state (relative to its model)
    std::uint32_t pathLength;    // length of the path before this element's step
    std::uint32_t childrenBegin; // this element's sibling counts start here
    bool contentFailed;          // a content error was reported: the other children are skipped
    bool textFailed;             // text where none may be was reported
    bool collecting;             // the element's text is its value
};

struct ChildCount {
    std::uint64_t key;
    std::uint32_t count;
};

// Per attribute of the current start tag, what the first look found.
enum class AttributeState : std::uint8_t { kIgnored, kUnknown, kValid, kInvalid };

class Pass final : public ValidationContext {
public:
    Pass(XmlParser* parser, const XsdSchemaSet& set, const Catalogs& catalogs, const SchemaPassOptions& options,
         ValidationListener* listener, FindingList& findings)
        : parser_(parser), set_(set), catalogs_(catalogs), options_(options), listener_(listener), findings_(findings) {
        absent_.assign(Types().catalogCount, AbsentCatalog{kXsdNone, 0});
    }

    bool stopped() const noexcept { return stopped_; }
    bool tooDeep() const noexcept { return tooDeep_; }

    int Start(const char* uri, const char* local, const char* qname, XmlAttributes* attributes);
    int End(const char* uri, const char* local, const char* qname);
    int Text(const char* text, std::size_t n);
    void Finish();

    // ValidationContext
    const XsdSchemaSet& Schema() const noexcept override { return set_; }
    const Catalogs& CatalogTables() const noexcept override { return catalogs_; }
    std::int32_t DocumentDate() const noexcept override { return date_; }
    int Line() const noexcept override { return line_; }
    std::string_view Path() const noexcept override { return std::string_view(path_.data(), path_.size()); }
    void Report(FindingKind kind, FindingSeverity severity, const char* code, std::string_view attribute,
                std::string_view value, std::string_view message) override {
        ReportAt(line_, Path(), kind, severity, code, attribute, value, message);
    }
    void ReportAt(int line, std::string_view path, FindingKind kind, FindingSeverity severity, const char* code,
                  std::string_view attribute, std::string_view value, std::string_view message) override;

private:
    struct AbsentCatalog {
        std::uint32_t finding;  // the not-checked finding of the catalog, or kXsdNone
        std::uint32_t values;   // values it stands for
    };

    void ReportError(const char* code, const char* attribute, std::string_view value, const String& message) {
        Report(FindingKind::kSchema, FindingSeverity::kError, code, attribute, value,
               std::string_view(message.data(), message.size()));
    }
    std::uint32_t AppendStep(const char* qname);
    const XsdElement* ChildDeclaration(Frame& parent, const char* uri, const char* local, const char* qname);
    const XsdElement* GlobalDeclaration(const char* uri, const char* local) const noexcept;
    void Push(const XsdElement* declaration, std::uint32_t pathLength);
    void CheckAttributes(const Frame& frame, XmlAttributes* attributes);
    void CheckValue(const XsdSimpleType& type, const char* attribute, std::string_view raw, bool& valid);
    void CheckCatalog(const XsdSimpleType& type, const char* attribute, std::string_view value);
    void CheckText(Frame& frame);
    void ReadDate(XmlAttributes* attributes);
    String ExpectedNames(const Frame& frame) const;
    void Notify(bool start, const char* uri, const char* local, const char* qname, XmlAttributes* attributes);

    XmlParser* parser_;
    const XsdSchemaSet& set_;
    const Catalogs& catalogs_;
    const SchemaPassOptions& options_;
    ValidationListener* listener_;
    FindingList& findings_;

    Vec<Frame> frames_;
    Vec<ChildCount> children_;
    String path_;
    String text_;       // the current simple-content element's text
    bool textTooLong_ = false;
    String value_;      // scratch: a value after its whiteSpace rule
    String message_;    // scratch: a finding's message
    Vec<AttributeState> attributeStates_;
    Vec<std::uint32_t> attributeUses_;
    Vec<std::uint8_t> seen_;
    Vec<ElementAttribute> listenerAttributes_;
    Vec<AbsentCatalog> absent_;
    long depth_ = 0;   // open elements, skipped ones included
    long skip_ = 0;    // open elements of a skipped subtree
    int line_ = 0;
    std::int32_t date_ = 0;
    bool stopped_ = false;
    bool tooDeep_ = false;
};

void Pass::ReportAt(int line, std::string_view path, FindingKind kind, FindingSeverity severity, const char* code,
                    std::string_view attribute, std::string_view value, std::string_view message) {
    Finding& f = findings_.emplace_back();
    f.kind = kind;
    f.severity = severity;
    f.code = code;
    f.line = line;
    f.path.assign(path.data(), path.size());
    f.attribute.assign(attribute.data(), attribute.size());
    f.value.assign(value.data(), value.size());
    f.message.assign(message.data(), message.size());
    if (severity == FindingSeverity::kError && options_.firstErrorOnly) stopped_ = true;
}

// Appends the step of a child of the top frame (or of the root) to the path; returns the
// path's length before it.
std::uint32_t Pass::AppendStep(const char* qname) {
    const auto before = static_cast<std::uint32_t>(path_.size());
    std::uint32_t position = 1;
    if (!frames_.empty()) {
        const std::uint64_t key = NameKey(qname);
        bool found = false;
        for (std::size_t i = frames_.back().childrenBegin; i < children_.size(); ++i) {
            if (children_[i].key == key) {
                position = ++children_[i].count;
                found = true;
                break;
            }
        }
        if (!found) children_.push_back(ChildCount{key, 1});
    }
    path_ += '/';
    path_ += qname;
    if (position > 1) AppendFormat(path_, "[%u]", position);
    return before;
}

const XsdElement* Pass::GlobalDeclaration(const char* uri, const char* local) const noexcept {
    std::uint32_t lo = 0, hi = set_.namespaceCount;
    while (lo < hi) {
        const std::uint32_t mid = lo + (hi - lo) / 2;
        const int c = std::strcmp(set_.namespaces[mid].uri, uri);
        if (c == 0) {
            const XsdNamespace& ns = set_.namespaces[mid];
            std::uint32_t a = ns.first, b = ns.first + ns.count;
            while (a < b) {
                const std::uint32_t m = a + (b - a) / 2;
                const XsdElement& e = Elements().elements[set_.globals[m]];
                const int d = std::strcmp(e.local, local);
                if (d == 0) return &e;
                if (d < 0) a = m + 1;
                else b = m;
            }
            return nullptr;
        }
        if (c < 0) lo = mid + 1;
        else hi = mid;
    }
    return nullptr;
}

String Pass::ExpectedNames(const Frame& frame) const {
    String names;
    const XsdElementTables& t = Elements();
    const XsdModel& model = t.models[frame.type->model];
    const XsdModelState& state = t.states[model.firstState + frame.state];
    for (std::uint32_t i = 0; i < state.edgeCount; ++i) {
        const std::uint32_t symbol = t.edges[state.firstEdge + i].symbol;
        if (!names.empty()) names += ", ";
        if (names.size() > 200) {
            names += "...";
            break;
        }
        names += (symbol & kXsdWildcard) ? "(any element)" : t.elements[symbol].local;
    }
    return names;
}

// The declaration a child takes in its parent's content, or null when the child is not
// validated (with a finding, unless the parent's content already failed or the child is
// content left unchecked). The child's path step is appended first when the parent may
// hold elements; the caller removes it for a child that is not validated.
const XsdElement* Pass::ChildDeclaration(Frame& parent, const char* uri, const char* local, const char* qname) {
    if (parent.contentFailed) return nullptr;
    const XsdElementTables& t = Elements();
    const XsdContent content = parent.type ? parent.type->content : XsdContent::kSimple;
    if (content == XsdContent::kEmpty || content == XsdContent::kSimple) {
        message_.clear();
        AppendFormat(message_, "Element '%s' may not contain elements (found '%s')/El elemento no puede contener elementos",
                     parent.declaration->local, qname);
        ReportError(finding_code::kContent, "", "", message_);
        parent.contentFailed = true;
        return nullptr;
    }
    AppendStep(qname);
    const XsdModel& model = t.models[parent.type->model];
    const XsdModelState& state = t.states[model.firstState + parent.state];
    const XsdModelEdge* wildcard = nullptr;
    for (std::uint32_t i = 0; i < state.edgeCount; ++i) {
        const XsdModelEdge& edge = t.edges[state.firstEdge + i];
        if (edge.symbol & kXsdWildcard) {
            if (!wildcard) wildcard = &edge;
            continue;
        }
        if (NameIs(t.elements[edge.symbol], uri, local)) {
            parent.state = edge.next;
            return &t.elements[edge.symbol];
        }
    }
    if (wildcard) {
        parent.state = wildcard->next;
        const std::uint32_t process = wildcard->symbol & ~kXsdWildcard;
        const XsdElement* global = process == kXsdSkip ? nullptr : GlobalDeclaration(uri, local);
        if (!global && process == kXsdStrict) {
            message_.clear();
            AppendFormat(message_,
                         "Element '%s' of namespace '%s' is not an element of a published complement/"
                         "El elemento no corresponde a un complemento publicado",
                         local, uri);
            ReportError(finding_code::kComplementUnknown, "", "", message_);
        }
        return global;
    }
    message_.clear();
    const String expected = ExpectedNames(parent);
    if (expected.empty())
        AppendFormat(message_, "Element '%s' is not expected here/El elemento no se esperaba aqui", qname);
    else
        AppendFormat(message_, "Element '%s' is not expected here; expected: %s/El elemento no se esperaba aqui", qname,
                     expected.c_str());
    ReportError(finding_code::kElementUnexpected, "", "", message_);
    parent.contentFailed = true;
    return nullptr;
}

void Pass::Push(const XsdElement* declaration, std::uint32_t pathLength) {
    Frame f{};
    f.declaration = declaration;
    f.type = declaration->complexType == kXsdNone ? nullptr : &Elements().complexTypes[declaration->complexType];
    f.pathLength = pathLength;
    f.childrenBegin = static_cast<std::uint32_t>(children_.size());
    f.collecting = !f.type || f.type->content == XsdContent::kSimple;
    if (f.collecting) {
        text_.clear();
        textTooLong_ = false;
    }
    frames_.push_back(f);
}

void Pass::CheckCatalog(const XsdSimpleType& type, const char* attribute, std::string_view value) {
    const char* name = Types().catalogNames[type.catalog];
    const CatalogAnswer answer = CatalogCheck(catalogs_, set_.catalogs, name, value, date_);
    if (answer == CatalogAnswer::kValid) return;
    if (answer == CatalogAnswer::kInvalid) {
        message_.clear();
        AppendFormat(message_, "'%.*s' is not a value of catalog %s at the document's date/"
                     "El valor no existe en el catalogo a la fecha del comprobante",
                     static_cast<int>(value.size() > 80 ? 80 : value.size()), value.data(), name);
        Report(FindingKind::kCatalog, FindingSeverity::kError, finding_code::kCatalogValue, attribute, value,
               std::string_view(message_.data(), message_.size()));
        return;
    }
    // One finding per absent catalog, at its first value; Finish() tells how many values.
    AbsentCatalog& a = absent_[type.catalog];
    ++a.values;
    if (a.finding != kXsdNone) return;
    a.finding = static_cast<std::uint32_t>(findings_.size());
    Report(FindingKind::kNotChecked, FindingSeverity::kWarning, finding_code::kCatalogAbsent, attribute, value, "");
}

void Pass::CheckValue(const XsdSimpleType& type, const char* attribute, std::string_view raw, bool& valid) {
    XsdApplyWhiteSpace(type.whiteSpace, raw, value_);
    const std::string_view value(value_.data(), value_.size());
    if (type.primitive == XsdPrimitive::kCatalog) {
        valid = true;
        CheckCatalog(type, attribute, value);
        return;
    }
    message_.clear();
    const XsdFault fault = XsdCheckValue(type, value, message_);
    valid = fault == XsdFault::kNone;
    if (!valid) ReportError(ValueCode(fault), attribute, raw, message_);
}

// The order of the reference validator: values of declared attributes in document order,
// then unknown attributes and fixed values in document order, then the required ones
// missing, in the order of their declaration.
void Pass::CheckAttributes(const Frame& frame, XmlAttributes* attributes) {
    const std::uint32_t count = XmlAttributeCount(attributes);
    const XsdElementTables& t = Elements();
    const XsdAttributeUse* uses = frame.type ? t.attributes + frame.type->firstAttribute : nullptr;
    const std::uint32_t useCount = frame.type ? frame.type->attributeCount : 0;
    attributeStates_.assign(count, AttributeState::kIgnored);
    attributeUses_.assign(count, kXsdNone);
    seen_.assign(useCount, 0);
    for (std::uint32_t i = 0; i < count && !stopped_; ++i) {
        const XmlAttribute& a = (*attributes)[i];
        const char* uri = OrEmpty(a.uri);
        if (*uri) {
            const bool location = std::strcmp(uri, kSchemaInstance) == 0 &&
                                  (std::strcmp(a.localName, "schemaLocation") == 0 ||
                                   std::strcmp(a.localName, "noNamespaceSchemaLocation") == 0);
            if (!location) attributeStates_[i] = AttributeState::kUnknown;
            continue;
        }
        std::uint32_t use = kXsdNone;
        for (std::uint32_t u = 0; u < useCount; ++u) {
            if (std::strcmp(uses[u].name, a.qname) == 0) {
                use = u;
                break;
            }
        }
        if (use == kXsdNone) {
            attributeStates_[i] = AttributeState::kUnknown;
            continue;
        }
        seen_[use] = 1;
        attributeUses_[i] = use;
        attributeStates_[i] = AttributeState::kValid;
        if (!options_.checkValues) continue;
        bool valid = true;
        CheckValue(Types().simpleTypes[uses[use].type], a.qname,
                   std::string_view(a.value, static_cast<std::size_t>(a.valueLength)), valid);
        if (!valid) attributeStates_[i] = AttributeState::kInvalid;
    }
    for (std::uint32_t i = 0; i < count && !stopped_; ++i) {
        const XmlAttribute& a = (*attributes)[i];
        if (attributeStates_[i] == AttributeState::kUnknown) {
            message_.clear();
            AppendFormat(message_, "Attribute '%s' is not allowed in '%s'/El atributo no esta permitido", a.qname,
                         frame.declaration->local);
            ReportError(finding_code::kAttributeUnknown, a.qname, a.value, message_);
        } else if (attributeStates_[i] == AttributeState::kValid && options_.checkValues &&
                   uses[attributeUses_[i]].fixed) {
            const XsdAttributeUse& use = uses[attributeUses_[i]];
            const XsdSimpleType& type = Types().simpleTypes[use.type];
            XsdApplyWhiteSpace(type.whiteSpace, a.value, value_);
            if (!XsdEqualsFixed(type, std::string_view(value_.data(), value_.size()), use.fixed)) {
                message_.clear();
                AppendFormat(message_, "Attribute '%s' must be '%s', not '%s'/El atributo tiene un valor fijo", a.qname,
                             use.fixed, a.value);
                ReportError(finding_code::kAttributeFixed, a.qname, a.value, message_);
            }
        }
    }
    for (std::uint32_t u = 0; u < useCount && !stopped_; ++u) {
        if (!uses[u].required || seen_[u]) continue;
        message_.clear();
        AppendFormat(message_, "Attribute '%s' is required in '%s'/El atributo es requerido", uses[u].name,
                     frame.declaration->local);
        ReportError(finding_code::kAttributeMissing, uses[u].name, "", message_);
    }
}

void Pass::CheckText(Frame& frame) {
    const XsdSimpleType& type =
        Types().simpleTypes[frame.type ? frame.type->simpleType : frame.declaration->simpleType];
    if (textTooLong_) {
        message_.clear();
        AppendFormat(message_, "The text of '%s' is longer than %zu bytes and was not checked/"
                     "El texto del elemento es demasiado largo para verificarse",
                     frame.declaration->local, kMaxText);
        Report(FindingKind::kNotChecked, FindingSeverity::kWarning, finding_code::kValueTooLong, "", "",
               std::string_view(message_.data(), message_.size()));
        return;
    }
    bool valid = true;
    CheckValue(type, "", std::string_view(text_.data(), text_.size()), valid);
}

void Pass::ReadDate(XmlAttributes* attributes) {
    for (std::uint32_t i = 0; i < XmlAttributeCount(attributes); ++i) {
        const XmlAttribute& a = (*attributes)[i];
        if (!*OrEmpty(a.uri) && std::strcmp(a.qname, set_.dateAttribute) == 0) {
            date_ = DateOf(a.value);
            return;
        }
    }
}

void Pass::Notify(bool start, const char* uri, const char* local, const char* qname, XmlAttributes* attributes) {
    if (!listener_) return;
    const std::uint32_t count = start ? XmlAttributeCount(attributes) : 0;
    if (listenerAttributes_.size() < count) listenerAttributes_.resize(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        const XmlAttribute& a = (*attributes)[i];
        listenerAttributes_[i] = ElementAttribute{a.qname, OrEmpty(a.value), OrEmpty(a.uri), OrEmpty(a.localName)};
    }
    const ValidationElement element{uri, local, qname, listenerAttributes_.data(), count,
                                    frames_.back().declaration, static_cast<int>(frames_.size()) - 1};
    if (start) listener_->OnStartElement(*this, element);
    else listener_->OnEndElement(*this, element);
}

int Pass::Start(const char* uri, const char* local, const char* qname, XmlAttributes* attributes) {
    if (stopped_) return 1;
    if (++depth_ > kMaxDepth) {
        tooDeep_ = stopped_ = true;
        return 1;
    }
    if (skip_ > 0) {
        ++skip_;
        return 0;
    }
    uri = OrEmpty(uri);
    local = *OrEmpty(local) ? local : qname;
    line_ = XmlGetLine(parser_);
    const XsdElement* declaration = nullptr;
    if (frames_.empty()) {
        const XsdElement& root = Elements().elements[set_.root];
        const std::uint32_t pathLength = AppendStep(qname);
        if (!NameIs(root, uri, local)) {
            message_.clear();
            AppendFormat(message_, "Root element '%s' is not '%s' of '%s'/El elemento raiz no es el esperado", qname,
                         root.local, root.ns);
            ReportError(finding_code::kElementUnexpected, "", "", message_);
            skip_ = 1;
            return stopped_ ? 1 : 0;
        }
        ReadDate(attributes);
        Push(&root, pathLength);
    } else {
        const auto pathLength = static_cast<std::uint32_t>(path_.size());
        declaration = ChildDeclaration(frames_.back(), uri, local, qname);
        if (!declaration) {
            path_.resize(pathLength);
            skip_ = 1;
            return stopped_ ? 1 : 0;
        }
        Push(declaration, pathLength);
    }
    CheckAttributes(frames_.back(), attributes);
    Notify(true, uri, local, qname, attributes);
    return stopped_ ? 1 : 0;
}

int Pass::End(const char* uri, const char* local, const char* qname) {
    if (stopped_) return 1;
    --depth_;
    if (skip_ > 0) {
        --skip_;
        return 0;
    }
    line_ = XmlGetLine(parser_);
    Frame& f = frames_.back();
    if (f.type && (f.type->content == XsdContent::kElements || f.type->content == XsdContent::kMixed) &&
        !f.contentFailed) {
        const XsdElementTables& t = Elements();
        const XsdModelState& state = t.states[t.models[f.type->model].firstState + f.state];
        if (!state.accepting) {
            message_.clear();
            AppendFormat(message_, "Element '%s' is missing child elements; expected: %s/Faltan elementos hijos requeridos",
                         f.declaration->local, ExpectedNames(f).c_str());
            ReportError(finding_code::kElementMissing, "", "", message_);
        }
    }
    if (f.collecting && !f.contentFailed && options_.checkValues && !stopped_) CheckText(f);
    if (!stopped_) Notify(false, OrEmpty(uri), *OrEmpty(local) ? local : qname, qname, nullptr);
    path_.resize(f.pathLength);
    children_.resize(f.childrenBegin);
    frames_.pop_back();
    return stopped_ ? 1 : 0;
}

int Pass::Text(const char* text, std::size_t n) {
    if (stopped_) return 1;
    if (skip_ > 0 || frames_.empty()) return 0;
    Frame& f = frames_.back();
    if (f.collecting) {
        if (text_.size() + n > kMaxText) textTooLong_ = true;
        else text_.append(text, n);
        return 0;
    }
    if (f.textFailed || f.contentFailed || f.type->content == XsdContent::kMixed) return 0;
    bool onlySpace = true;
    for (std::size_t i = 0; i < n && onlySpace; ++i) onlySpace = IsSpace(text[i]);
    if (f.type->content == XsdContent::kElements && onlySpace) return 0;
    line_ = XmlGetLine(parser_);
    message_.clear();
    if (f.type->content == XsdContent::kEmpty)
        AppendFormat(message_, "Element '%s' must be empty: no text, not even white space/El elemento debe estar vacio",
                     f.declaration->local);
    else
        AppendFormat(message_, "Element '%s' may only hold elements, not text/El elemento solo puede contener elementos",
                     f.declaration->local);
    ReportError(finding_code::kContent, "", std::string_view(text, n > 80 ? 80 : n), message_);
    f.textFailed = true;
    return stopped_ ? 1 : 0;
}

void Pass::Finish() {
    for (std::uint32_t c = 0; c < absent_.size(); ++c) {
        if (absent_[c].finding == kXsdNone) continue;
        String& message = findings_[absent_[c].finding].message;
        AppendFormat(message,
                     "Catalog %s is absent: %u value%s not checked (give a catalog folder that has it)/"
                     "El catalogo no esta disponible: valores no verificados",
                     Types().catalogNames[c], absent_[c].values, absent_[c].values == 1 ? " was" : "s were");
    }
    if (listener_ && !stopped_) listener_->OnEndDocument(*this);
}

int OnStart(void* user, const char* uri, const char* local, const char* qname, XmlAttributes* attributes) {
    return static_cast<Pass*>(user)->Start(uri, local, qname, attributes);
}
int OnEnd(void* user, const char* uri, const char* local, const char* qname) {
    return static_cast<Pass*>(user)->End(uri, local, qname);
}
int OnText(void* user, const char* text, int len) {
    return static_cast<Pass*>(user)->Text(text, static_cast<std::size_t>(len));
}
// Present so that the parser formats its message and position.
int OnError(XmlParser*) { return 0; }

struct ParserFree {
    void operator()(XmlParser* p) const noexcept { XmlParserFree(p); }
};

}  // namespace

Error RunSchemaPass(std::FILE* document, const XsdSchemaSet& set, const Catalogs& catalogs,
                    const SchemaPassOptions& options, ValidationListener* listener, FindingList& findings) {
    std::unique_ptr<XmlParser, ParserFree> parser(XmlParserCreate(nullptr));
    Pass pass(parser.get(), set, catalogs, options, listener, findings);
    parser->userData = &pass;
    parser->options |= XML_OPT_CHUNKED_TEXT;
    parser->handlers.startElement = OnStart;
    parser->handlers.endElement = OnEnd;
    parser->handlers.characters = OnText;
    parser->handlers.ignorableWhitespace = OnText;
    parser->handlers.errorHandler = OnError;
    const bool ok = XmlParse(parser.get(), XmlFileRead, document, nullptr) == kOk;
    if (pass.tooDeep()) {
        RecordError("XML parsing error/Error al analizar de XML: %s (Line/numero de linea: %d)",
                    "Elements nested deeper than 256 levels", XmlGetLine(parser.get()));
        return Error::BAD_XML_ERROR;
    }
    if (!ok && !pass.stopped()) {
        RecordError("XML parsing error/Error al analizar de XML: %s (Line/numero de linea: %d)", parser->errorMessage,
                    parser->errorLine);
        return Error::BAD_XML_ERROR;
    }
    pass.Finish();
    return kOk;
}

}  // namespace kvn
