// The pipe-string engine: walks a document's element events side by side with a schema
// table and collects, in table order, the values that enter the pipe string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>

#include "base/memory.h"
#include "cfdi/schema_tables.h"
#include "cfdi/xml_events.h"

namespace kvn {

class PipeBuilder final : public XmlEventSink {
public:
    // `stampMode`: the table is the stamp table; mandatory rows are then checked.
    PipeBuilder(const ElementEntry* table, bool stampMode);

    bool OnStartElement(const char* uri, const char* local, const char* qname, const ElementAttribute* attributes,
                        std::size_t count) override;
    bool OnEndElement(const char* uri, const char* local, const char* qname) override;
    bool OnCharacters(const char* text, std::size_t n) override;

    // Stamp mode: the name of the first mandatory value that is absent or empty, else null.
    const char* FirstMissingMandatory() const noexcept;

    // 2 + the sum of (length + 1) over the non-empty values + 1: an upper bound of the
    // pipe string's length (values are counted before cleaning).
    std::size_t LengthBound() const noexcept;

    // Writes "||" value "|" value "|" ... "|" into out (capacity outlen characters plus a
    // NUL), values cleaned, empty ones skipped; returns the length written.
    std::size_t Write(char* out, std::size_t outlen) const noexcept;

private:
    static constexpr std::size_t kStackSlots = 50;
    static constexpr std::size_t kStackNameMax = 63;

    // One value of the output list. The list is nodes_ in index order: a value moved to the
    // end is marked `moved` and appended again as a fresh node, so order never needs links.
    // The text lives in values_ at [offset, offset + length).
    struct Node {
        const char* name;
        std::uint32_t offset;
        std::uint32_t length;
        bool hasValue;
        bool mandatory;
        bool moved;
    };
    // The live nodes carrying one of the names that some entry moves to the end, in list
    // order, so that the first of them is found without walking the list.
    struct MovableName {
        const char* name;
        std::deque<std::uint32_t, Allocator<std::uint32_t>> live;
    };
    // An entry's name resolved once: its local part and its namespace URI (or null).
    struct ResolvedEntry {
        const char* local;
        const char* uri;
    };

    const ElementEntry* FindEntry(const char* uri, const char* local, const char* parent) const noexcept;
    void AddAttributeNodes(const ElementEntry& entry, const ElementAttribute* attributes, std::size_t count);
    void AddTextNode(const ElementEntry& entry);
    void MoveToEnd(const char* name);
    std::uint32_t NewNode(const char* name, bool mandatory);
    void SetValue(std::uint32_t node, const char* text, std::size_t n);
    MovableName* FindMovable(const char* name) noexcept;
    void PushName(const char* qname);
    const char* PopToParent();

    const ElementEntry* table_;
    Vec<ResolvedEntry> resolved_;
    std::size_t tableSize_;
    std::size_t cursor_ = 0;
    bool stampMode_;
    bool inAddenda_ = false;

    // Chunked, so growing it never copies (nor doubles) what is already there.
    std::deque<Node, Allocator<Node>> nodes_;
    String values_;
    Vec<MovableName> movable_;

    // Names of the open elements, "DOCUMENT" below the root. Only the outermost 50 levels
    // are kept; depth_ counts them all, so tracking resumes after a deeper part.
    char stack_[kStackSlots][kStackNameMax + 1] = {};
    std::size_t depth_ = 0;

    String text_;
};

}  // namespace kvn
