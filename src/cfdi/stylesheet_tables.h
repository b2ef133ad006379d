// The tax authority's cadena-original stylesheets as data. scripts/gen_stylesheet_tables.py
// compiles each stylesheet (with its includes) into the tables of one
// generated/stylesheet_tables_*.cpp file: the element names its templates match or select, the
// attribute names it reads, and one short program per template. The pipe-string engine
// (pipe_engine.h) runs those programs over the parts of a document they can reach, so its
// output is the stylesheet's. Adding a complement or a version is a change of the
// stylesheets and a new run of the generator.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn {

// One instruction of a template's program.
//   kLiteral    append `text`.
//   kRequired   "|" and the value of the path, cleaned, even when there is none (Requerido).
//   kOptional   the same, only when the path selects something (Opcional).
//   kApply      apply templates to each node the path selects, in document order.
//   kForEach    run instructions [this + 1, end) once per selected node, as context.
//   kIfExists   run [this + 1, end) when the path selects a node.
//   kIfEquals   run [this + 1, end) when the context's `attribute` equals `text`.
// Every instruction ends at `end`: the index of the one that follows it and its body.
enum class StyleOp : std::uint8_t { kLiteral, kRequired, kOptional, kApply, kForEach, kIfExists, kIfEquals };

// A location step: from the document root, the context itself, a child or a descendant
// element with the step's name (or any name).
enum class StyleAxis : std::uint8_t { kRoot, kSelf, kChild, kDescendant };

inline constexpr std::uint16_t kAnyName = 0xFFFF;
// An instruction's `attribute` when its value is the selected element's string value.
inline constexpr std::uint32_t kNoAttribute = 0xFFFFFFFF;

// What a program does with an element of a name, worked out by the generator.
enum StyleNameFlags : std::uint8_t {
    kStyleChildAny = 1,    // selects its children of every name (./*)
    kStyleSubtreeAny = 2,  // selects its descendants (.//x)
    kStyleTextValue = 4,   // its string value is a value of the pipe string
};

// An element name; id 0 stands for every name the stylesheet does not mention. Names of
// one namespace share one `uri` pointer, an entry of StylesheetTables::uris.
struct StyleName {
    const char* local;
    const char* uri;
    std::uint8_t flags;
    std::uint8_t hasTemplate;  // a template matches it: its program is [begin, end)
    std::uint32_t begin;
    std::uint32_t end;
};

struct StyleStep {
    StyleAxis axis;
    std::uint16_t name;  // a name id or kAnyName
};

struct StyleInstruction {
    StyleOp op;
    std::uint32_t firstStep;  // the path: steps [firstStep, firstStep + stepCount)
    std::uint32_t stepCount;
    std::uint32_t attribute;  // attribute id or kNoAttribute
    std::uint32_t end;
    const char* text;
};

struct StylesheetTables {
    const char* const* uris;  // the namespaces of the names
    std::uint32_t uriCount;
    const StyleName* names;
    std::uint32_t nameCount;
    const char* const* attributes;
    std::uint32_t attributeCount;
    // Open-addressing tables (linear probing, size mask + 1 entries) of name ids and of
    // attribute ids + 1 by StyleHash of the local name; 0 marks an empty slot.
    const std::uint16_t* nameSlots;
    std::uint32_t nameSlotMask;
    const std::uint16_t* attributeSlots;
    std::uint32_t attributeSlotMask;
    const StyleStep* steps;
    const StyleInstruction* code;
    std::uint32_t codeSize;
    std::uint32_t rootBegin;  // the program of the template matching "/"
    std::uint32_t rootEnd;
};

// FNV-1a, 32 bits, over the bytes of a NUL-terminated name (the generator's hash).
inline std::uint32_t StyleHash(const char* name) noexcept {
    std::uint32_t h = 2166136261u;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) h = (h ^ *p) * 16777619u;
    return h;
}

extern const StylesheetTables kStylesheet20;
extern const StylesheetTables kStylesheet22;
extern const StylesheetTables kStylesheet30;
extern const StylesheetTables kStylesheet32;
extern const StylesheetTables kStylesheet33;
extern const StylesheetTables kStylesheet40;
extern const StylesheetTables kStylesheetStamp10;
extern const StylesheetTables kStylesheetStamp11;
extern const StylesheetTables kStylesheetRet10;
extern const StylesheetTables kStylesheetRet20;

// The stylesheet of a version number (20, 22, 30, 32, 33, 40, KVN_VERSION_RET10,
// KVN_VERSION_RET20) or, with `stamp`, the stamp stylesheet of that version's documents (1.0
// for 30, 32 and Retenciones 1.0; 1.1 for 33, 40 and Retenciones 2.0); null for any other
// number.
const StylesheetTables* StylesheetFor(int versionNumber, bool stamp) noexcept;

}  // namespace kvn
