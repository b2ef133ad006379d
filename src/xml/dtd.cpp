// Declaration reader: internal and external DTD subsets, conditional sections,
// parameter-entity references, <!ENTITY>, <!ATTLIST> and <!NOTATION>.
// (<!ELEMENT> and its content models are in dtd_elements.cpp.)
#include <cstring>

#include "xml/parser_internal.h"

namespace kvn {
namespace {

bool IsPubidChar(int c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c == ' ' || c == '\n' || c == '\r' || (c > 0 && std::strchr("-'()+,./:=?;!*#@$_%", c));
}

struct Keyword {
    const char* text;
    int type;
};

// Longer keywords first where one is a prefix of another.
const Keyword kAttributeTypes[] = {
    {"CDATA", XML_ATTR_CDATA},       {"IDREFS", XML_ATTR_IDREFS},     {"IDREF", XML_ATTR_IDREF},
    {"ID", XML_ATTR_ID},             {"ENTITY", XML_ATTR_ENTITY},     {"ENTITIES", XML_ATTR_ENTITIES},
    {"NMTOKENS", XML_ATTR_NMTOKENS}, {"NMTOKEN", XML_ATTR_NMTOKEN},   {"NOTATION", XML_ATTR_NOTATION},
};

}  // namespace

bool XmlParserState::InExternalContext() const {
    for (std::size_t i = 1; i < readers.size(); ++i)
        if (readers[i]->state && !readers[i]->state->borrowed) return true;
    return false;
}

// ---------------------------------------------------------------------------------------
// Subsets

void XmlParserState::ReadInternalSubset() { ReadDeclarations(true, Depth()); }

void XmlParserState::ReadExternalSubset(XmlEntity* subset) {
    hasExternalDtdParts = true;
    if (H().startEntity) Check(H().startEntity(User(), subset));
    if (PushExternalEntity(subset)) {
        ReadDeclarations(false, Depth());
        PopReader();
    }
    if (H().endEntity) Check(H().endEntity(User(), subset));
}

// Reads declarations until the end of the reader at baseDepth (external) or up to and
// including the ']' that closes the internal subset.
void XmlParserState::ReadDeclarations(bool internal, std::size_t baseDepth) {
    int conditionalBase = conditionalDepth;
    for (;;) {
        ReaderCompact(Top());
        SkipSpace();
        int c = Peek();
        if (c < 0) {
            if (Depth() > baseDepth) {
                XmlEntity* e = Top()->entity;
                PopReader();
                if (H().endEntity) Check(H().endEntity(User(), e));
                continue;
            }
            if (conditionalDepth > conditionalBase) Fail(XML_ERROR_EXPECTED, "]]>");
            if (internal) Fail(XML_ERROR_EXPECTED, "]");
            return;
        }
        if (c == '%') {
            ParameterReference(false);
            continue;
        }
        if (c == ']') {
            if (conditionalDepth > conditionalBase && LookingAt("]]>")) {
                Advance(3);
                --conditionalDepth;
                continue;
            }
            if (internal && Depth() == baseDepth) {
                Advance();
                return;
            }
            Fail(XML_ERROR_INVALID_TOKEN);
        }
        if (c != '<') Fail(XML_ERROR_INVALID_TOKEN);
        if (LookingAt("<!--")) {
            ParseComment(true);
        } else if (LookingAt("<?")) {
            ParsePI(true);
        } else if (LookingAt("<![")) {
            if (!InExternalContext()) Fail(XML_ERROR_INVALID_TOKEN);
            ParseConditional();
        } else if (LookingAt("<!ENTITY")) {
            ParseEntityDecl();
        } else if (LookingAt("<!ELEMENT")) {
            ParseElementDecl();
        } else if (LookingAt("<!ATTLIST")) {
            ParseAttlistDecl();
        } else if (LookingAt("<!NOTATION")) {
            ParseNotationDecl();
        } else {
            Fail(XML_ERROR_INVALID_TOKEN);
        }
    }
}

void XmlParserState::ParseConditional() {
    Advance(3);
    DtdSkipSpace();
    if (Accept("INCLUDE")) {
        DtdSkipSpace();
        if (Peek() != '[') Fail(XML_ERROR_EXPECTED, "[");
        Advance();
        ++conditionalDepth;  // closed by the "]]>" the declaration loop meets
        return;
    }
    if (!Accept("IGNORE")) Fail(XML_ERROR_EXPECTED, "INCLUDE");
    DtdSkipSpace();
    if (Peek() != '[') Fail(XML_ERROR_EXPECTED, "[");
    Advance();
    // Skip to the matching "]]>", counting nested sections. Nothing inside is parsed.
    long nesting = 1;
    while (nesting > 0) {
        int c = Peek();
        if (c < 0) Fail(XML_ERROR_EXPECTED, "]]>");
        if (c == '<' && LookingAt("<![")) {
            Advance(3);
            ++nesting;
        } else if (c == ']' && LookingAt("]]>")) {
            Advance(3);
            --nesting;
        } else {
            Advance();
        }
    }
}

// ---------------------------------------------------------------------------------------
// Parameter entities

// At '%': expands a parameter-entity reference by pushing its reader. Between
// declarations its end is met by the declaration loop; inside a declaration by
// DtdSkipSpace.
void XmlParserState::ParameterReference(bool inDeclaration) {
    Advance();
    int c = Peek();
    if (c < 0 || XmlIsSpace(c)) Fail(XML_ERROR_WHITESPACE_NOT_ALLOWED);
    String name;
    ReadReferenceName(&name);
    if (inDeclaration && !InExternalContext()) Fail(XML_ERROR_INVALID_TOKEN);
    XmlEntity* e = FindParameterEntity(name.c_str());
    if (!e) Fail(XML_ERROR_UNDEFINED_ENTITY, name.c_str());
    if (e->inUse) Fail(XML_ERROR_RECURSIVE_ENTITY, e->name);
    hasExternalDtdParts = true;
    if (H().startEntity) Check(H().startEntity(User(), e));
    if (e->kind == XML_ENTITY_INTERNAL_PARAMETER) {
        PushInternalEntity(e);
    } else if (!PushExternalEntity(e)) {
        if (H().endEntity) Check(H().endEntity(User(), e));
    }
}

// Whitespace inside a declaration, where parameter-entity references may stand (in
// external context) and where the end of a parameter entity counts as whitespace.
bool XmlParserState::DtdSkipSpace() {
    bool any = false;
    for (;;) {
        if (SkipSpace()) any = true;
        int c = Peek();
        if (c < 0 && Depth() > 1) {
            XmlEntity* e = Top()->entity;
            if (!e || (e->kind != XML_ENTITY_INTERNAL_PARAMETER && e->kind != XML_ENTITY_EXTERNAL_PARAMETER))
                return any;
            PopReader();
            if (H().endEntity) Check(H().endEntity(User(), e));
            any = true;
            continue;
        }
        if (c == '%' && InExternalContext()) {
            int next = PeekAt(1);
            if (next >= 0 && !XmlIsSpace(next)) {
                ParameterReference(true);
                any = true;
                continue;
            }
        }
        return any;
    }
}

void XmlParserState::DtdRequireSpace(const char* /*keyword*/) {
    if (!DtdSkipSpace()) Fail(XML_ERROR_WHITESPACE_REQUIRED);
}

char* XmlParserState::ReadDtdName(const char* keyword) {
    std::size_t n = ScanName();
    if (n == 0) Fail(XML_ERROR_INVALID_DECLARATION, keyword);
    char* name = arena.Copy(In()->buf + In()->pos, n);
    Advance(n);
    return name;
}

char* XmlParserState::ReadQuoted(const char* keyword, bool publicId) {
    int quote = Peek();
    if (quote != '"' && quote != '\'') Fail(XML_ERROR_INVALID_DECLARATION, keyword);
    Advance();
    scratch2.clear();
    for (;;) {
        int c = Peek();
        if (c < 0) Fail(XML_ERROR_INVALID_DECLARATION, keyword);
        Advance();
        if (c == quote) break;
        if (publicId && !IsPubidChar(c)) Fail(XML_ERROR_INVALID_DECLARATION, keyword);
        scratch2.push_back(static_cast<char>(c));
    }
    return arena.Copy(scratch2.data() ? scratch2.data() : "", scratch2.size());
}

// ---------------------------------------------------------------------------------------
// <!ENTITY>

// An entity value: parameter entities expanded, character references expanded (those to
// CR and LF keep their reference text), general entity references kept as written.
void XmlParserState::ReadEntityValue(int quote, String* out) {
    std::size_t base = Depth();
    String name;
    for (;;) {
        int c = Peek();
        if (c < 0) {
            if (Depth() > base) {
                XmlEntity* e = Top()->entity;
                PopReader();
                if (H().endEntity) Check(H().endEntity(User(), e));
                continue;
            }
            Fail(XML_ERROR_INVALID_DECLARATION, "ENTITY");
        }
        if (c == quote && Depth() == base) {
            Advance();
            return;
        }
        if (c == '%') {
            if (!InExternalContext()) Fail(XML_ERROR_INVALID_TOKEN);
            Advance();
            ReadReferenceName(&name);
            XmlEntity* e = FindParameterEntity(name.c_str());
            if (!e) Fail(XML_ERROR_UNDEFINED_ENTITY, name.c_str());
            if (e->inUse) Fail(XML_ERROR_RECURSIVE_ENTITY, e->name);
            if (H().startEntity) Check(H().startEntity(User(), e));
            if (e->kind == XML_ENTITY_INTERNAL_PARAMETER)
                PushInternalEntity(e);
            else if (!PushExternalEntity(e) && H().endEntity)
                Check(H().endEntity(User(), e));
            continue;
        }
        if (c == '&') {
            Advance();
            if (Peek() == '#') {
                Advance();
                std::uint32_t cp = ReadCharReference();
                if (cp == 0xD)
                    out->append("&#13;", 5);
                else if (cp == 0xA)
                    out->append("&#10;", 5);
                else
                    AppendCodePoint(out, cp);
                continue;
            }
            ReadReferenceName(&name);
            out->push_back('&');
            out->append(name.data(), name.size());
            out->push_back(';');
            continue;
        }
        out->push_back(static_cast<char>(c));
        Advance();
    }
}

void XmlParserState::ParseEntityDecl() {
    Advance(8);
    DtdRequireSpace("ENTITY");
    bool parameter = false;
    if (Peek() == '%') {
        Advance();
        DtdRequireSpace("ENTITY");
        parameter = true;
    }
    auto* e = static_cast<XmlEntity*>(arena.Alloc(sizeof(XmlEntity)));
    *e = XmlEntity{};
    e->name = ReadDtdName("ENTITY");
    e->declaredExternally = InExternalContext() ? 1 : 0;
    DtdRequireSpace("ENTITY");
    int quote = Peek();
    if (quote == '"' || quote == '\'') {
        Advance();
        String value;
        ReadEntityValue(quote, &value);
        e->text = arena.Copy(value.data(), value.size());
        e->textLength = static_cast<int>(value.size());
        e->kind = parameter ? XML_ENTITY_INTERNAL_PARAMETER : XML_ENTITY_INTERNAL_GENERAL;
    } else {
        if (Accept("SYSTEM")) {
            DtdRequireSpace("ENTITY");
        } else if (Accept("PUBLIC")) {
            DtdRequireSpace("ENTITY");
            e->publicId = ReadQuoted("ENTITY", true);
            DtdRequireSpace("ENTITY");
        } else {
            Fail(XML_ERROR_EXPECTED, "PUBLIC or SYSTEM");
        }
        e->systemId = ReadQuoted("ENTITY", false);
        e->kind = parameter ? XML_ENTITY_EXTERNAL_PARAMETER : XML_ENTITY_EXTERNAL_GENERAL;
        bool space = DtdSkipSpace();
        if (!parameter && LookingAt("NDATA")) {
            if (!space) Fail(XML_ERROR_WHITESPACE_REQUIRED);
            Advance(5);
            DtdRequireSpace("ENTITY");
            if (ScanName() == 0) Fail(XML_ERROR_EXPECTED, "NDATA");
            e->notation = ReadDtdName("ENTITY");
            e->kind = XML_ENTITY_UNPARSED;
        }
    }
    DtdSkipSpace();
    if (Peek() != '>') Fail(XML_ERROR_INVALID_DECLARATION, "ENTITY");
    Advance();
    if (H().entityDecl) Check(H().entityDecl(User(), e));
    // The first declaration of a name binds.
    (parameter ? parameterEntities : generalEntities).try_emplace(e->name, e);
}

// ---------------------------------------------------------------------------------------
// <!NOTATION>

void XmlParserState::ParseNotationDecl() {
    Advance(10);
    DtdRequireSpace("NOTATION");
    char* name = ReadDtdName("NOTATION");
    DtdRequireSpace("NOTATION");
    char* publicId = nullptr;
    char* systemId = nullptr;
    if (Accept("SYSTEM")) {
        DtdRequireSpace("NOTATION");
        systemId = ReadQuoted("NOTATION", false);
    } else if (Accept("PUBLIC")) {
        DtdRequireSpace("NOTATION");
        publicId = ReadQuoted("NOTATION", true);
        bool space = DtdSkipSpace();
        if (Peek() == '"' || Peek() == '\'') {
            if (!space) Fail(XML_ERROR_WHITESPACE_REQUIRED);
            systemId = ReadQuoted("NOTATION", false);
        }
    } else {
        Fail(XML_ERROR_EXPECTED, "PUBLIC or SYSTEM");
    }
    DtdSkipSpace();
    if (Peek() != '>') Fail(XML_ERROR_INVALID_DECLARATION, "NOTATION");
    Advance();
    if (H().notationDecl) Check(H().notationDecl(User(), name, publicId, systemId));
}

// ---------------------------------------------------------------------------------------
// <!ATTLIST>

// "( a | b )" after the '(' for enumerations (names for NOTATION, name tokens otherwise).
void XmlParserState::ReadEnumeration(XmlAttributeDef* def) {
    Vec<char*> values;
    String listText("(");
    for (;;) {
        DtdSkipSpace();
        std::size_t n = 0;
        if (def->type == XML_ATTR_NOTATION) {
            n = ScanName();
        } else {
            for (;;) {
                int c = PeekAt(n);
                if (c < 0) break;
                std::size_t len = XmlSequenceLength(static_cast<unsigned char>(c));
                if (len > 1 && PeekAt(n + len - 1) < 0) break;
                if (!XmlNameCharAt(reinterpret_cast<const unsigned char*>(In()->buf + In()->pos + n), len, false))
                    break;
                n += len;
            }
        }
        if (n == 0) Fail(XML_ERROR_INVALID_DECLARATION, "ATTLIST");
        values.push_back(arena.Copy(In()->buf + In()->pos, n));
        listText.append(values.back());
        Advance(n);
        DtdSkipSpace();
        int c = Peek();
        Advance();
        if (c == ')') break;
        if (c != '|') Fail(XML_ERROR_INVALID_DECLARATION, "ATTLIST");
        listText.push_back('|');
    }
    listText.push_back(')');
    auto** list = static_cast<char**>(arena.Alloc(sizeof(char*) * (values.size() + 1)));
    for (std::size_t i = 0; i < values.size(); ++i) list[i] = values[i];
    list[values.size()] = nullptr;
    def->values = list;
    def->valueCount = static_cast<int>(values.size());
    def->enumerationText = arena.Copy(listText.c_str(), listText.size());
}

void XmlParserState::ParseAttlistDecl() {
    Advance(9);
    DtdRequireSpace("ATTLIST");
    char* element = ReadDtdName("ATTLIST");
    XmlAttlist* list = &attlists.try_emplace(element).first->second;
    for (;;) {
        bool space = DtdSkipSpace();
        if (Peek() == '>') {
            Advance();
            return;
        }
        if (!space) Fail(XML_ERROR_INVALID_DECLARATION, "ATTLIST");
        auto* def = static_cast<XmlAttributeDef*>(arena.Alloc(sizeof(XmlAttributeDef)));
        *def = XmlAttributeDef{};
        def->name = ReadDtdName("ATTLIST");
        if (!DtdSkipSpace()) Fail(XML_ERROR_INVALID_DECLARATION, "ATTLIST");
        if (Peek() == '(') {
            Advance();
            def->type = XML_ATTR_ENUMERATION;
            ReadEnumeration(def);
        } else {
            for (const Keyword& k : kAttributeTypes) {
                std::size_t n = std::strlen(k.text);
                int after = PeekAt(n);
                if (LookingAt(k.text) && (after < 0 || XmlIsSpace(after) || after == '%')) {
                    def->type = k.type;
                    Advance(n);
                    break;
                }
            }
            if (def->type == 0) Fail(XML_ERROR_INVALID_DECLARATION, "ATTLIST");
            if (def->type == XML_ATTR_NOTATION) {
                if (!DtdSkipSpace() || Peek() != '(') Fail(XML_ERROR_INVALID_DECLARATION, "ATTLIST");
                Advance();
                ReadEnumeration(def);
            }
        }
        if (!DtdSkipSpace()) Fail(XML_ERROR_INVALID_DECLARATION, "ATTLIST");
        if (Accept("#REQUIRED")) {
            def->defaultKind = XML_DEFAULT_REQUIRED;
        } else if (Accept("#IMPLIED")) {
            def->defaultKind = XML_DEFAULT_IMPLIED;
        } else {
            if (Accept("#FIXED")) {
                def->defaultKind = XML_DEFAULT_FIXED;
                if (!DtdSkipSpace()) Fail(XML_ERROR_INVALID_DECLARATION, "ATTLIST");
            }
            int quote = Peek();
            if (quote != '"' && quote != '\'') Fail(XML_ERROR_INVALID_DECLARATION, "ATTLIST");
            Advance();
            scratch2.clear();
            ReadAttributeValue(quote, &scratch2);
            std::size_t n = scratch2.size();
            if (def->type != XML_ATTR_CDATA)
                n = static_cast<std::size_t>(XmlCollapseWhitespace(scratch2.data(), static_cast<int>(n)));
            def->defaultValue = arena.Copy(scratch2.data(), n);
        }
        if (H().attributeDecl)
            Check(H().attributeDecl(User(), element, def->name, def->type, def->enumerationText,
                                    def->defaultKind, def->defaultValue));
        bool known = false;
        for (std::size_t i = 0; i < list->defs.size() && !known; ++i)
            known = std::strcmp(list->defs[i]->name, def->name) == 0;
        if (!known) {
            list->defs.push_back(def);
            list->anyCollapsed = list->anyCollapsed || def->type != XML_ATTR_CDATA;
            list->anyDefault = list->anyDefault || def->defaultValue != nullptr;
        }
    }
}

const Vec<const XmlAttributeDef*>* XmlGetAttributeDefs(XmlParser* parser, const char* elementName) {
    const TextMap<XmlAttlist>& lists = parser->state->Attlists();
    if (lists.empty()) return nullptr;
    auto found = lists.find(elementName);
    return found == lists.end() ? nullptr : &found->second.defs;
}

}  // namespace kvn
