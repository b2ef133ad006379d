// Which elements of a document its schemas let repeat, followed as the document is read.
//
// The answer comes from the schema tables the library already carries:
//  - a root with a capitalised `Version` (CFDI 3.3 and 4.0, and any document type whose
//    schemas are compiled into schema_model.h's sets) is followed through the compiled
//    content models: an element repeats when, in its parent's model, another occurrence of
//    its declaration (or of the wildcard that took it) can follow it;
//  - a CFD 2.0/2.2 or CFDI 3.0/3.2 root is followed through its version's table in
//    schema_tables.h (the `repeatable` column);
//  - an element those do not reach (a complement under a wildcard or under an `any`
//    element of the older tables) is looked up by namespace and name among the global
//    declarations of every compiled set, and followed through that declaration from there.
// An element none of these describe gets no answer (not repeatable by schema).
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/memory.h"
#include "cfdi/xml_events.h"

namespace kvn {

struct ElementEntry;
struct XsdSchemaSet;

class ElementShapes {
public:
    // Enters an element; true when its parent's schema lets it occur more than once.
    bool Start(const char* uri, const char* local, const ElementAttribute* attributes, std::size_t count);
    // Leaves the element entered last.
    void End();

private:
    struct Frame {
        std::uint32_t complexType;   // compiled type of the element, or kXsdNone
        const ElementEntry* table;   // table of an older version, with `entry`
        std::size_t entry;
    };
    void StartRoot(const char* uri, const char* local, const ElementAttribute* attributes, std::size_t count,
                   Frame& frame);
    bool StartInModel(const Frame& parent, const char* uri, const char* local, Frame& frame) const;
    bool StartInTable(const Frame& parent, const char* uri, const char* local, Frame& frame) const;

    Vec<Frame> frames_;
    const XsdSchemaSet* set_ = nullptr;  // the root's compiled set, if any
};

// The tax authority's own prefix for one of its namespaces ("cfdi" for
// http://www.sat.gob.mx/cfd/4), or null for any other URI. Generated from the authority's
// stylesheets (scripts/gen_namespace_prefixes.py).
const char* AuthorityPrefix(const char* uri) noexcept;

}  // namespace kvn
