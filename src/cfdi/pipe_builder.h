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
    std::size_t LengthBound() const noexcept { return bound_; }

    // Writes "||" value "|" value "|" ... "|" into out (capacity outlen characters plus a
    // NUL), values cleaned, empty ones skipped; returns the length written.
    std::size_t Write(char* out, std::size_t outlen) const noexcept;

private:
    static constexpr std::size_t kStackSlots = 50;
    static constexpr std::size_t kStackNameMax = 63;
    static constexpr std::uint32_t kNotMovable = UINT32_MAX;

    // The output is a list of values, one per pipe-string row met (with or without a
    // value) and per collected text. Every non-empty value goes to the body at once,
    // cleaned and followed by '|', so the body is the pipe string between its frame; only
    // the values that may still change place or that stamp mode checks are kept as nodes.
    // A value moved to the end is marked `moved`, its bytes become a gap of the body and a
    // copy is appended as a fresh node. Offsets count body bytes from its start.
    struct Node {
        const char* name;
        std::uint32_t position;  // place in the value list
        std::uint32_t offset;    // its bytes in the body: [offset, offset + size)
        std::uint32_t size;      // cleaned length + 1 for the '|'; 0 without text
        std::uint32_t movable;   // slot of its name among the movable ones, or kNotMovable
        bool hasValue;
        bool empty;              // no value, or a value of length 0 before cleaning
        bool mandatory;
        bool moved;
    };
    // The body is kept in chunks that are filled in turn and never move, so growing it
    // neither copies it nor touches fresh memory more than once. A value never straddles
    // two chunks.
    struct Chunk {
        UniquePtr<char> bytes;
        std::size_t capacity;
        std::size_t used;
        std::size_t start;  // body offset of its first byte
    };
    struct Gap {
        std::uint32_t offset;
        std::uint32_t size;
    };
    using NodeIndexQueue = std::deque<std::uint32_t, Allocator<std::uint32_t>>;
    // An entry's name resolved once: its local part and its namespace URI (or null).
    struct ResolvedEntry {
        const char* local;
        const char* uri;
        // Facts about its pipe-string rows, worked out on first use.
        bool rowsKnown;
        bool rowNameRepeats;  // two rows share a name
        bool rowMovable;      // a row's name is one some entry moves to the end
    };

    const ElementEntry* FindEntry(const char* uri, const char* local, const char* parent) const noexcept;
    const ElementEntry* FindEndingEntry(const char* uri, const char* local, const char* parent) noexcept;
    void AddAttributeValues(std::size_t entry, const ElementAttribute* attributes, std::size_t count);
    const ResolvedEntry& WithRowFacts(std::size_t entry) noexcept;
    std::uint32_t MovableSlot(const char* name) const noexcept;
    void AddValue(const char* name, bool mandatory, std::uint32_t movable, const char* text, std::size_t n);
    void MoveToEnd(std::uint32_t movable);
    std::uint32_t NextPosition();
    char* BodyRoom(std::size_t n);
    void AddChunk(std::size_t n);
    void BodyCommit(const char* end) noexcept;
    const char* BodyAt(std::size_t offset) const noexcept;
    void PushName(const char* qname);
    const char* PopToParent();

    const ElementEntry* table_;
    Vec<ResolvedEntry> resolved_;
    Vec<const char*> movableNames_;  // the names some entry moves to the end
    std::size_t tableSize_;
    std::size_t cursor_ = 0;
    bool stampMode_;
    bool inAddenda_ = false;

    // The entry found for the last element started, while no other element has started
    // or ended since: the end of an element without children looks there first.
    const ElementEntry* leafEntry_ = nullptr;
    bool leafKnown_ = false;

    Vec<Chunk> chunks_;
    std::size_t bodySize_ = 0;
    std::size_t bound_ = 3;       // LengthBound()
    std::size_t rawTotal_ = 0;    // sum of the values' lengths before cleaning
    std::uint32_t positions_ = 0;  // values in the list so far
    // Chunked, so growing it never copies (nor doubles) what is already there.
    std::deque<Node, Allocator<Node>> nodes_;
    // Per movable name: its live (unmoved) nodes in list order.
    Vec<NodeIndexQueue> live_;
    Vec<Gap> gaps_;  // sorted by offset

    // Names of the open elements, "DOCUMENT" below the root. Only the outermost 50 levels
    // are kept; depth_ counts them all, so tracking resumes after a deeper part.
    char stack_[kStackSlots][kStackNameMax + 1] = {};
    std::size_t depth_ = 0;

    String text_;
};

}  // namespace kvn
