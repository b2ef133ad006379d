#include "cfdi/element_shapes.h"

#include <cstring>

#include "cfdi/namespaces.h"
#include "cfdi/schema_model.h"
#include "cfdi/schema_tables.h"

namespace kvn {
namespace {

bool SameName(const XsdElement& e, const char* uri, const char* local) {
    return std::strcmp(e.local, local) == 0 && std::strcmp(e.ns, uri) == 0;
}

// Whether an edge of `symbol` can be taken from `state` of the model, through any path.
bool Reachable(const XsdModel& model, std::uint32_t state, std::uint32_t symbol) {
    const XsdElementTables& t = kXsdElementTables;
    Vec<std::uint8_t> seen(model.stateCount, 0);
    Vec<std::uint32_t> stack;
    stack.push_back(state);
    while (!stack.empty()) {
        const std::uint32_t s = stack.back();
        stack.pop_back();
        if (s >= model.stateCount || seen[s]) continue;
        seen[s] = 1;
        const XsdModelState& st = t.states[model.firstState + s];
        for (std::uint32_t i = 0; i < st.edgeCount; ++i) {
            const XsdModelEdge& edge = t.edges[st.firstEdge + i];
            if (edge.symbol == symbol) return true;
            stack.push_back(edge.next);
        }
    }
    return false;
}

// The global declaration of (uri, local) in one compiled set, or kXsdNone.
std::uint32_t GlobalIn(const XsdSchemaSet& set, const char* uri, const char* local) {
    for (std::uint32_t n = 0; n < set.namespaceCount; ++n) {
        const XsdNamespace& ns = set.namespaces[n];
        if (std::strcmp(ns.uri, uri) != 0) continue;
        for (std::uint32_t i = 0; i < ns.count; ++i) {
            const std::uint32_t decl = set.globals[ns.first + i];
            if (SameName(kXsdElementTables.elements[decl], uri, local)) return decl;
        }
    }
    return kXsdNone;
}

// The global declaration of (uri, local) in the given set first, then in any set.
std::uint32_t GlobalDeclaration(const XsdSchemaSet* preferred, const char* uri, const char* local) {
    if (!*uri) return kXsdNone;
    if (preferred) {
        if (std::uint32_t d = GlobalIn(*preferred, uri, local); d != kXsdNone) return d;
    }
    for (std::size_t i = 0; i < kXsdSchemaSetCount; ++i) {
        if (std::uint32_t d = GlobalIn(kXsdSchemaSets[i], uri, local); d != kXsdNone) return d;
    }
    return kXsdNone;
}

std::uint32_t TypeOf(std::uint32_t decl) {
    return decl == kXsdNone ? kXsdNone : kXsdElementTables.elements[decl].complexType;
}

const char* AttributeValue(const ElementAttribute* a, std::size_t count, const char* name) {
    for (std::size_t i = 0; i < count; ++i) {
        if (a[i].uri[0] == '\0' && std::strcmp(a[i].local, name) == 0) return a[i].value;
    }
    return nullptr;
}

// The table version number of a lower-case `version` ("2.0" -> 20, "3.2" -> 32), or 0.
int TableVersion(const char* version) {
    if (!version || version[0] < '0' || version[0] > '9' || version[1] != '.') return 0;
    if (version[2] < '0' || version[2] > '9') return 0;
    return (version[0] - '0') * 10 + (version[2] - '0');
}

// Whether the table entry names the element: its local name, and its prefix's namespace
// when the table knows that prefix (an entry without prefix is of the document's own).
bool EntryNames(const ElementEntry& entry, const char* uri, const char* local) {
    if (std::strcmp(EntryLocalName(entry), local) != 0) return false;
    const ResolvedName resolved = ResolvePrefixedName(entry.name);
    return !resolved.uri || std::strcmp(resolved.uri, uri) == 0;
}

}  // namespace

bool ElementShapes::Start(const char* uri, const char* local, const ElementAttribute* attributes, std::size_t count) {
    Frame frame{kXsdNone, nullptr, 0};
    bool repeatable = false;
    if (frames_.empty()) {
        StartRoot(uri, local, attributes, count, frame);
    } else {
        const Frame& parent = frames_.back();
        if (parent.complexType != kXsdNone) {
            repeatable = StartInModel(parent, uri, local, frame);
        } else if (parent.table) {
            repeatable = StartInTable(parent, uri, local, frame);
        }
        // Where neither reached, a declaration of the element's namespace may.
        if (frame.complexType == kXsdNone && !frame.table)
            frame.complexType = TypeOf(GlobalDeclaration(set_, uri, local));
    }
    frames_.push_back(frame);
    return repeatable;
}

void ElementShapes::End() {
    if (!frames_.empty()) frames_.pop_back();
}

void ElementShapes::StartRoot(const char* uri, const char* local, const ElementAttribute* attributes,
                              std::size_t count, Frame& frame) {
    if (AttributeValue(attributes, count, "Version")) {
        for (std::size_t i = 0; i < kXsdSchemaSetCount; ++i) {
            const XsdSchemaSet& set = kXsdSchemaSets[i];
            if (SameName(kXsdElementTables.elements[set.root], uri, local)) {
                set_ = &set;
                frame.complexType = TypeOf(set.root);
                return;
            }
        }
        return;
    }
    const ElementEntry* table = SchemaTableForVersion(TableVersion(AttributeValue(attributes, count, "version")));
    if (table && EntryNames(table[0], uri, local)) {
        frame.table = table;
        frame.entry = 0;
    }
}

bool ElementShapes::StartInModel(const Frame& parent, const char* uri, const char* local, Frame& frame) const {
    const XsdElementTables& t = kXsdElementTables;
    const XsdComplexType& type = t.complexTypes[parent.complexType];
    if (type.content != XsdContent::kElements && type.content != XsdContent::kMixed) return false;
    const XsdModel& model = t.models[type.model];
    // The element's own declaration first; a wildcard only when no declaration takes it.
    const XsdModelEdge* wildcard = nullptr;
    for (std::uint32_t s = 0; s < model.stateCount; ++s) {
        const XsdModelState& st = t.states[model.firstState + s];
        for (std::uint32_t i = 0; i < st.edgeCount; ++i) {
            const XsdModelEdge& edge = t.edges[st.firstEdge + i];
            if (edge.symbol & kXsdWildcard) {
                if (!wildcard) wildcard = &edge;
                continue;
            }
            if (!SameName(t.elements[edge.symbol], uri, local)) continue;
            frame.complexType = TypeOf(edge.symbol);
            return Reachable(model, edge.next, edge.symbol);
        }
    }
    if (!wildcard) return false;
    frame.complexType = TypeOf(GlobalDeclaration(set_, uri, local));
    return Reachable(model, wildcard->next, wildcard->symbol);
}

bool ElementShapes::StartInTable(const Frame& parent, const char* uri, const char* local, Frame& frame) const {
    const ElementEntry* table = parent.table;
    const int depth = table[parent.entry].depth + 1;
    // The parent's children are the entries after it, one level deeper, up to the next
    // entry at its own level or above.
    for (std::size_t i = parent.entry + 1; table[i].name && table[i].depth >= depth; ++i) {
        if (table[i].depth != depth || !EntryNames(table[i], uri, local)) continue;
        frame.table = table;
        frame.entry = i;
        return table[i].repeatable;
    }
    return false;
}

}  // namespace kvn
