// <!ELEMENT> declarations: content models read into particle trees without recursion,
// and the text form of a model.
#include <cstring>

#include "xml/parser_internal.h"

namespace kvn {
namespace {

int ReadOccurrence(XmlParserState* st) {
    switch (st->Peek()) {
        case '?': st->Advance(); return XML_OCCURS_OPTIONAL;
        case '*': st->Advance(); return XML_OCCURS_ANY;
        case '+': st->Advance(); return XML_OCCURS_ONE_OR_MORE;
        default: return XML_OCCURS_ONCE;
    }
}

void Append(String* out, const char* s) { out->append(s, std::strlen(s)); }

const char* OccurrenceText(int occurrence) {
    switch (occurrence) {
        case XML_OCCURS_OPTIONAL: return "?";
        case XML_OCCURS_ANY: return "*";
        case XML_OCCURS_ONE_OR_MORE: return "+";
        default: return "";
    }
}

// Appends child as the last child of group (tracking the last child in `last`).
void AddChild(XmlContentParticle* group, XmlContentParticle*& last, XmlContentParticle* child) {
    if (last)
        last->nextSibling = child;
    else
        group->firstChild = child;
    last = child;
}

}  // namespace

XmlContentParticle* XmlParserState::NewParticle(int kind, const char* name) {
    auto* p = static_cast<XmlContentParticle*>(arena.Alloc(sizeof(XmlContentParticle)));
    *p = XmlContentParticle{kind, XML_OCCURS_ONCE, name, nullptr, nullptr};
    return p;
}

// After "(#PCDATA": "|name" ... ")" with "*" required when names were given.
void XmlParserState::ReadMixedModel(XmlElementDecl* decl) {
    XmlContentParticle* root = NewParticle(XML_CONTENT_MIXED, nullptr);
    XmlContentParticle* last = nullptr;
    decl->kind = XML_CONTENT_MIXED;
    decl->model = root;
    for (;;) {
        DtdSkipSpace();
        int c = Peek();
        if (c == ')') {
            Advance();
            if (root->firstChild) {
                if (Peek() != '*') Fail(XML_ERROR_EXPECTED, "*");
                Advance();
                root->occurrence = XML_OCCURS_ANY;
            } else if (Peek() == '*') {
                Advance();
                root->occurrence = XML_OCCURS_ANY;
            }
            return;
        }
        if (c != '|') Fail(XML_ERROR_INVALID_DECLARATION, "ELEMENT");
        Advance();
        DtdSkipSpace();
        AddChild(root, last, NewParticle(XML_CONTENT_NAME, ReadDtdName("ELEMENT")));
    }
}

// After the opening '(' of a children model. Groups nest through an explicit stack.
void XmlParserState::ReadChildrenModel(XmlElementDecl* decl) {
    struct Open {
        XmlContentParticle* group;
        XmlContentParticle* last;
        int separator;  // 0 until the first '|' or ','
    };
    Vec<Open> stack;
    XmlContentParticle* root = NewParticle(XML_CONTENT_SEQUENCE, nullptr);
    stack.push_back({root, nullptr, 0});
    for (;;) {
        // An item: a nested group or a name with its occurrence.
        DtdSkipSpace();
        if (Peek() == '(') {
            Advance();
            XmlContentParticle* group = NewParticle(XML_CONTENT_SEQUENCE, nullptr);
            AddChild(stack.back().group, stack.back().last, group);
            stack.push_back({group, nullptr, 0});
            continue;
        }
        XmlContentParticle* leaf = NewParticle(XML_CONTENT_NAME, ReadDtdName("ELEMENT"));
        leaf->occurrence = ReadOccurrence(this);
        AddChild(stack.back().group, stack.back().last, leaf);
        // Separators and group ends.
        for (;;) {
            DtdSkipSpace();
            int c = Peek();
            Open& top = stack.back();
            if (c == '|' || c == ',') {
                if (top.separator == 0) top.separator = c;
                if (c != top.separator) Fail(XML_ERROR_EXPECTED, top.separator == '|' ? "|" : ",");
                Advance();
                break;
            }
            if (c != ')') Fail(XML_ERROR_INVALID_DECLARATION, "ELEMENT");
            Advance();
            top.group->kind = top.separator == '|' ? XML_CONTENT_CHOICE : XML_CONTENT_SEQUENCE;
            top.group->occurrence = ReadOccurrence(this);
            stack.pop_back();
            if (stack.empty()) {
                decl->kind = root->kind;
                decl->model = root;
                return;
            }
        }
    }
}

void XmlParserState::ParseElementDecl() {
    Advance(9);
    DtdRequireSpace("ELEMENT");
    auto* decl = static_cast<XmlElementDecl*>(arena.Alloc(sizeof(XmlElementDecl)));
    *decl = XmlElementDecl{};
    decl->name = ReadDtdName("ELEMENT");
    if (!DtdSkipSpace()) Fail(XML_ERROR_INVALID_DECLARATION, "ELEMENT");
    if (Accept("EMPTY")) {
        decl->kind = XML_CONTENT_EMPTY;
    } else if (Accept("ANY")) {
        decl->kind = XML_CONTENT_ANY;
    } else if (Peek() == '(') {
        Advance();
        DtdSkipSpace();
        if (Accept("#PCDATA"))
            ReadMixedModel(decl);
        else
            ReadChildrenModel(decl);
    } else {
        Fail(XML_ERROR_INVALID_DECLARATION, "ELEMENT");
    }
    DtdSkipSpace();
    if (Peek() != '>') Fail(XML_ERROR_INVALID_DECLARATION, "ELEMENT");
    Advance();
    if (!H().elementDecl) return;
    if (Opt(XML_OPT_KEEP_DECLARATIONS)) {
        Check(H().elementDecl(User(), decl->name, decl, nullptr));
        return;
    }
    scratch2.clear();
    XmlContentModelText(decl, &scratch2);
    Check(H().elementDecl(User(), decl->name, nullptr, scratch2.data()));
}

char* XmlContentModelText(const XmlElementDecl* decl, String* out) {
    if (decl->kind == XML_CONTENT_EMPTY || !decl->model) {
        Append(out, decl->kind == XML_CONTENT_ANY ? "ANY" : "EMPTY");
        return out->data();
    }
    if (decl->model->kind == XML_CONTENT_MIXED) {
        Append(out, "(#PCDATA");
        for (const XmlContentParticle* c = decl->model->firstChild; c; c = c->nextSibling) {
            Append(out, "|");
            Append(out, c->name);
        }
        Append(out, ")");
        Append(out, OccurrenceText(decl->model->occurrence));
        return out->data();
    }
    struct Item {
        const XmlContentParticle* node;
        const XmlContentParticle* parent;
        bool leaving;
    };
    Vec<Item> stack;
    Vec<const XmlContentParticle*> children;
    stack.push_back({decl->model, nullptr, false});
    while (!stack.empty()) {
        Item it = stack.back();
        stack.pop_back();
        const XmlContentParticle* p = it.node;
        if (it.leaving) {
            Append(out, ")");
            Append(out, OccurrenceText(p->occurrence));
            continue;
        }
        if (it.parent && p != it.parent->firstChild)
            Append(out, it.parent->kind == XML_CONTENT_CHOICE ? "|" : ",");
        if (p->kind == XML_CONTENT_NAME) {
            Append(out, p->name);
            Append(out, OccurrenceText(p->occurrence));
            continue;
        }
        Append(out, "(");
        stack.push_back({p, it.parent, true});
        children.clear();
        for (const XmlContentParticle* c = p->firstChild; c; c = c->nextSibling) children.push_back(c);
        for (std::size_t i = children.size(); i-- > 0;) stack.push_back({children[i], p, false});
    }
    return out->data();
}

}  // namespace kvn
