#include "cfdi/pipe_builder.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "cfdi/namespaces.h"
#include "cfdi/pipe_text.h"

namespace kvn {
namespace {

constexpr std::size_t kInitialTextCapacity = 256;
constexpr std::size_t kFirstChunkCapacity = 4096;
constexpr std::size_t kLargestChunkCapacity = std::size_t{1} << 20;

// Most names differ in their first byte; look at it before calling strcmp.
inline bool SameText(const char* a, const char* b) noexcept { return a[0] == b[0] && std::strcmp(a, b) == 0; }
inline bool SameUri(const char* a, const char* b) noexcept { return std::strcmp(a, b) == 0; }

// Whether a pipe-string row before `row` in the list carries its name. Such a row holds
// the attribute of that name; the later one stays without a value.
bool NameTakenBefore(const AttributeRow* rows, const AttributeRow* row) noexcept {
    for (const AttributeRow* earlier = rows; earlier != row; ++earlier) {
        if (earlier->inPipeString && SameText(earlier->name, row->name)) return true;
    }
    return false;
}

}  // namespace

PipeBuilder::PipeBuilder(const ElementEntry* table, bool stampMode)
    : table_(table), tableSize_(SchemaTableSize(table)), stampMode_(stampMode) {
    resolved_.reserve(tableSize_);
    for (std::size_t i = 0; i < tableSize_; ++i) {
        ResolvedName name = ResolvePrefixedName(table_[i].name);
        resolved_.push_back({name.local, name.uri, false, false, false});
        for (const char* const* move = table_[i].moveToEnd; move && *move; ++move) {
            if (MovableSlot(*move) == kNotMovable) movableNames_.push_back(*move);
        }
    }
    live_.resize(movableNames_.size());
    text_.reserve(kInitialTextCapacity);
    PushName("DOCUMENT");
}

// The first entry at or after the cursor whose local part is `local`, skipping entries
// whose namespace is known and differs from the element's known one. With a parent given,
// the entry's parent must be empty or equal to it; with none, parents are not looked at.
const ElementEntry* PipeBuilder::FindEntry(const char* uri, const char* local, const char* parent) const noexcept {
    for (std::size_t i = cursor_; i < tableSize_; ++i) {
        const ResolvedEntry& r = resolved_[i];
        if (!SameText(r.local, local)) continue;
        if (*uri != '\0' && r.uri && !SameUri(r.uri, uri)) continue;
        if (parent != nullptr) {
            const char* wanted = table_[i].parent;
            if (wanted && !(parent[0] != '\0' && SameText(wanted, parent))) continue;
        }
        return &table_[i];
    }
    return nullptr;
}

bool PipeBuilder::OnStartElement(const char* uri, const char* local, const char* qname,
                                 const ElementAttribute* attributes, std::size_t count) {
    PushName(qname);
    if (SameText(local, "Addenda")) inAddenda_ = true;
    leafKnown_ = false;
    if (inAddenda_ || cursor_ >= tableSize_) return true;
    const ElementEntry* entry = FindEntry(uri, local, nullptr);
    leafEntry_ = entry;
    leafKnown_ = true;
    if (entry && entry->attributes) AddAttributeValues(static_cast<std::size_t>(entry - table_), attributes, count);
    return true;
}

bool PipeBuilder::OnEndElement(const char* uri, const char* local, const char* /*qname*/) {
    const char* parent = PopToParent();
    // An element whose parent is no longer tracked is matched against entries without a
    // parent only: "" never equals an entry's parent.
    const ElementEntry* entry = FindEndingEntry(uri, local, parent ? parent : "");
    if (entry) {
        if (entry->moveToEnd && !inAddenda_) {
            for (const char* const* name = entry->moveToEnd; *name; ++name) MoveToEnd(MovableSlot(*name));
        }
        if (entry->hasText && !text_.empty() && parent && entry->parent && SameText(entry->parent, parent) &&
            !inAddenda_) {
            AddValue(entry->name, false, MovableSlot(entry->name), text_.data(), text_.size());
        }
    }
    text_.clear();
    // The cursor steps past the current entry at the end of an element the table knows.
    // An element without an entry (a foreign or misplaced one) leaves it in place, so it
    // cannot push the cursor past the entries of the elements that follow it.
    if (entry && cursor_ < tableSize_ && !table_[cursor_].repeatable) ++cursor_;
    if (SameText(local, "Addenda")) inAddenda_ = false;
    return true;
}

// FindEntry with the parent, for the element that ends. When it has no children, the
// cursor has not moved since its start, whose search (which ignored parents) found the
// first candidate: no entry there means none now, and one whose parent fits is the answer.
const ElementEntry* PipeBuilder::FindEndingEntry(const char* uri, const char* local, const char* parent) noexcept {
    const bool leaf = leafKnown_;
    leafKnown_ = false;
    if (leaf) {
        if (!leafEntry_) return nullptr;
        const char* wanted = leafEntry_->parent;
        if (!wanted || (parent[0] != '\0' && SameText(wanted, parent))) return leafEntry_;
    }
    return FindEntry(uri, local, parent);
}

bool PipeBuilder::OnCharacters(const char* text, std::size_t n) {
    text_.append(text, n);
    return true;
}

// One value per pipe-string row of the entry, in row order: the attribute of the row's
// name, or none.
void PipeBuilder::AddAttributeValues(std::size_t entry, const ElementAttribute* attributes, std::size_t count) {
    const AttributeRow* rows = table_[entry].attributes;
    const ResolvedEntry& facts = WithRowFacts(entry);
    // Documents mostly write the attributes in row order, so each search starts after the
    // attribute that matched last and wraps around. An element never carries two
    // attributes of one name (the parser refuses them), so where it starts does not
    // change what it finds.
    std::size_t next = 0;
    for (const AttributeRow* row = rows; row->name; ++row) {
        if (!row->inPipeString) continue;
        const char* value = nullptr;
        if (!facts.rowNameRepeats || !NameTakenBefore(rows, row)) {
            for (std::size_t tried = 0, a = next; tried < count; ++tried, a = a + 1 == count ? 0 : a + 1) {
                if (SameText(row->name, attributes[a].qname)) {
                    value = attributes[a].value;
                    next = a + 1 == count ? 0 : a + 1;
                    break;
                }
            }
        }
        AddValue(row->name, stampMode_ && row->mandatory, facts.rowMovable ? MovableSlot(row->name) : kNotMovable,
                 value, value ? std::strlen(value) : 0);
    }
}

const PipeBuilder::ResolvedEntry& PipeBuilder::WithRowFacts(std::size_t entry) noexcept {
    ResolvedEntry& resolved = resolved_[entry];
    if (!resolved.rowsKnown) {
        const AttributeRow* rows = table_[entry].attributes;
        for (const AttributeRow* row = rows; row->name; ++row) {
            if (!row->inPipeString) continue;
            if (NameTakenBefore(rows, row)) resolved.rowNameRepeats = true;
            if (MovableSlot(row->name) != kNotMovable) resolved.rowMovable = true;
        }
        resolved.rowsKnown = true;
    }
    return resolved;
}

std::uint32_t PipeBuilder::MovableSlot(const char* name) const noexcept {
    for (std::size_t i = 0; i < movableNames_.size(); ++i) {
        if (SameText(movableNames_[i], name)) return static_cast<std::uint32_t>(i);
    }
    return kNotMovable;
}

// Room for n more bytes at the end of the body; BodyCommit then takes what was written.
char* PipeBuilder::BodyRoom(std::size_t n) {
    if (chunks_.empty() || chunks_.back().capacity - chunks_.back().used < n) AddChunk(n);
    Chunk& chunk = chunks_.back();
    return chunk.bytes.get() + chunk.used;
}

// A new chunk is twice the size of the last one, up to 1 MiB, or larger for a larger value.
void PipeBuilder::AddChunk(std::size_t n) {
    std::size_t capacity =
        chunks_.empty() ? kFirstChunkCapacity : std::min(chunks_.back().capacity * 2, kLargestChunkCapacity);
    capacity = std::max(capacity, n);
    UniquePtr<char> bytes(static_cast<char*>(emalloc(capacity)));
    chunks_.push_back({std::move(bytes), capacity, 0, bodySize_});
}

void PipeBuilder::BodyCommit(const char* end) noexcept {
    Chunk& chunk = chunks_.back();
    chunk.used = static_cast<std::size_t>(end - chunk.bytes.get());
    bodySize_ = chunk.start + chunk.used;
}

// Appends a value (text null: the row has none) to the list.
void PipeBuilder::AddValue(const char* name, bool mandatory, std::uint32_t movable, const char* text, std::size_t n) {
    std::uint32_t position = NextPosition();
    const bool hasValue = text != nullptr;
    const std::size_t offset = bodySize_;
    if (hasValue) {
        // Offsets and lengths fit 32 bits: no block of the library reaches 1 GiB.
        if (n >= kMaxAllocation || rawTotal_ + n >= kMaxAllocation) throw AllocError("malloc request is too big.");
        rawTotal_ += n;
        if (n > 0) {
            char* end = CopyCleaned(BodyRoom(n + 1), text, n);
            *end++ = '|';
            BodyCommit(end);
            bound_ += n + 1;
        }
    }
    if (!mandatory && movable == kNotMovable) return;
    std::uint32_t size = static_cast<std::uint32_t>(bodySize_ - offset);
    nodes_.push_back({name, position, static_cast<std::uint32_t>(offset), size, movable, hasValue,
                      !hasValue || n == 0, mandatory, false});
    if (movable != kNotMovable) live_[movable].push_back(static_cast<std::uint32_t>(nodes_.size() - 1));
}

// Moves the first live value of a movable name behind the last value, unless it is last
// already.
void PipeBuilder::MoveToEnd(std::uint32_t movable) {
    NodeIndexQueue& live = live_[movable];
    if (live.empty()) return;
    std::uint32_t first = live.front();
    if (nodes_[first].position + 1 == positions_) return;
    Node copy = nodes_[first];
    copy.position = NextPosition();
    if (copy.size > 0) {
        Gap gap{copy.offset, copy.size};
        gaps_.insert(std::upper_bound(gaps_.begin(), gaps_.end(), gap,
                                      [](const Gap& a, const Gap& b) { return a.offset < b.offset; }),
                     gap);
        char* to = BodyRoom(copy.size);
        std::memcpy(to, BodyAt(copy.offset), copy.size);
        copy.offset = static_cast<std::uint32_t>(bodySize_);
        BodyCommit(to + copy.size);
    }
    nodes_[first].moved = true;
    nodes_.push_back(copy);
    live.pop_front();
    live.push_back(static_cast<std::uint32_t>(nodes_.size() - 1));
}

// The body's bytes at `offset`, which lies within one of its chunks.
const char* PipeBuilder::BodyAt(std::size_t offset) const noexcept {
    auto after = std::upper_bound(chunks_.begin(), chunks_.end(), offset,
                                  [](std::size_t o, const Chunk& c) { return o < c.start; });
    const Chunk& chunk = *(after - 1);
    return chunk.bytes.get() + (offset - chunk.start);
}

std::uint32_t PipeBuilder::NextPosition() {
    if (positions_ >= UINT32_MAX - 1) throw AllocError("malloc request is too big.");
    return positions_++;
}

void PipeBuilder::PushName(const char* qname) {
    if (depth_ < kStackSlots) {
        std::size_t n = strnlen(qname, kStackNameMax);
        std::memcpy(stack_[depth_], qname, n);
        stack_[depth_][n] = '\0';
    }
    ++depth_;
}

// Pops the ending element's name and returns its parent's name, or null when the parent
// lies deeper than the tracked levels (or nothing is open).
const char* PipeBuilder::PopToParent() {
    if (depth_ >= 1) --depth_;
    if (depth_ >= 1 && depth_ - 1 < kStackSlots) return stack_[depth_ - 1];
    return nullptr;
}

const char* PipeBuilder::FirstMissingMandatory() const noexcept {
    for (const Node& node : nodes_) {
        if (!node.moved && node.mandatory && node.empty) return node.name;
    }
    return nullptr;
}

std::size_t PipeBuilder::Write(char* out, std::size_t outlen) const noexcept {
    BoundedText text(out, outlen);
    text.Append("||", 2);
    // Each gap lies within one chunk.
    auto gap = gaps_.begin();
    for (const Chunk& chunk : chunks_) {
        const char* bytes = chunk.bytes.get();
        std::size_t from = 0;
        for (; gap != gaps_.end() && gap->offset < chunk.start + chunk.used; ++gap) {
            std::size_t begin = gap->offset - chunk.start;
            text.Append(bytes + from, begin - from);
            from = begin + gap->size;
        }
        text.Append(bytes + from, chunk.used - from);
    }
    text.Append("|", 1);
    return text.size();
}

}  // namespace kvn
