#include "cfdi/pipe_builder.h"

#include <cstring>

#include "cfdi/namespaces.h"
#include "cfdi/pipe_text.h"

namespace kvn {
namespace {

constexpr std::size_t kInitialTextCapacity = 256;

// Most names differ in their first byte; look at it before calling strcmp.
inline bool SameText(const char* a, const char* b) noexcept { return a[0] == b[0] && std::strcmp(a, b) == 0; }

}  // namespace

PipeBuilder::PipeBuilder(const ElementEntry* table, bool stampMode)
    : table_(table), tableSize_(SchemaTableSize(table)), stampMode_(stampMode) {
    resolved_.reserve(tableSize_);
    for (std::size_t i = 0; i < tableSize_; ++i) {
        ResolvedName name = ResolvePrefixedName(table_[i].name);
        resolved_.push_back({name.local, name.uri});
        for (const char* const* move = table_[i].moveToEnd; move && *move; ++move) {
            if (!FindMovable(*move)) movable_.push_back({*move, {}});
        }
    }
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
        if (*uri != '\0' && r.uri && !SameText(r.uri, uri)) continue;
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
    if (inAddenda_ || cursor_ >= tableSize_) return true;
    const ElementEntry* entry = FindEntry(uri, local, nullptr);
    if (entry && entry->attributes) AddAttributeNodes(*entry, attributes, count);
    return true;
}

bool PipeBuilder::OnEndElement(const char* uri, const char* local, const char* /*qname*/) {
    const char* parent = PopToParent();
    // An element whose parent is no longer tracked is matched against entries without a
    // parent only: "" never equals an entry's parent.
    const ElementEntry* entry = FindEntry(uri, local, parent ? parent : "");
    if (entry) {
        if (entry->moveToEnd && !inAddenda_) {
            for (const char* const* name = entry->moveToEnd; *name; ++name) MoveToEnd(*name);
        }
        if (entry->hasText && !text_.empty() && parent && entry->parent && SameText(entry->parent, parent) &&
            !inAddenda_) {
            AddTextNode(*entry);
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

bool PipeBuilder::OnCharacters(const char* text, std::size_t n) {
    text_.append(text, n);
    return true;
}

void PipeBuilder::AddAttributeNodes(const ElementEntry& entry, const ElementAttribute* attributes, std::size_t count) {
    std::uint32_t first = static_cast<std::uint32_t>(nodes_.size());
    for (const AttributeRow* row = entry.attributes; row->name; ++row) {
        if (row->inPipeString) NewNode(row->name, stampMode_ && row->mandatory);
    }
    std::uint32_t end = static_cast<std::uint32_t>(nodes_.size());
    for (std::size_t a = 0; a < count; ++a) {
        for (std::uint32_t i = first; i < end; ++i) {
            if (SameText(nodes_[i].name, attributes[a].qname)) {
                if (!nodes_[i].hasValue) SetValue(i, attributes[a].value, std::strlen(attributes[a].value));
                break;
            }
        }
    }
}

void PipeBuilder::AddTextNode(const ElementEntry& entry) {
    std::uint32_t node = NewNode(entry.name, false);
    SetValue(node, text_.data(), text_.size());
}

PipeBuilder::MovableName* PipeBuilder::FindMovable(const char* name) noexcept {
    for (MovableName& m : movable_) {
        if (SameText(m.name, name)) return &m;
    }
    return nullptr;
}

// Moves the first node named `name` behind the last one, unless it is last already.
void PipeBuilder::MoveToEnd(const char* name) {
    MovableName* movable = FindMovable(name);
    if (!movable || movable->live.empty()) return;
    std::uint32_t first = movable->live.front();
    if (first + 1 == nodes_.size()) return;
    Node copy = nodes_[first];
    std::uint32_t moved = NewNode(copy.name, copy.mandatory);  // registers itself as live
    nodes_[moved] = copy;
    nodes_[first].moved = true;
    movable->live.pop_front();
}

std::uint32_t PipeBuilder::NewNode(const char* name, bool mandatory) {
    if (nodes_.size() >= UINT32_MAX - 1) throw AllocError("malloc request is too big.");
    std::uint32_t index = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back({name, 0, 0, false, mandatory, false});
    if (MovableName* movable = FindMovable(name)) movable->live.push_back(index);
    return index;
}

void PipeBuilder::SetValue(std::uint32_t node, const char* text, std::size_t n) {
    // Offsets and lengths fit 32 bits: no block of the library reaches 1 GiB.
    if (n >= kMaxAllocation || values_.size() + n >= kMaxAllocation) throw AllocError("malloc request is too big.");
    nodes_[node].offset = static_cast<std::uint32_t>(values_.size());
    nodes_[node].length = static_cast<std::uint32_t>(n);
    nodes_[node].hasValue = true;
    values_.append(text, n);
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
        if (!node.moved && node.mandatory && (!node.hasValue || node.length == 0)) return node.name;
    }
    return nullptr;
}

std::size_t PipeBuilder::LengthBound() const noexcept {
    std::size_t total = 3;
    for (const Node& node : nodes_) {
        if (!node.moved && node.hasValue && node.length > 0) total += node.length + 1;
    }
    return total;
}

std::size_t PipeBuilder::Write(char* out, std::size_t outlen) const noexcept {
    BoundedText text(out, outlen);
    text.Append("||", 2);
    for (const Node& node : nodes_) {
        if (node.moved || !node.hasValue || node.length == 0) continue;
        text.AppendCleaned(values_.data() + node.offset, node.length);
        text.Append("|", 1);
    }
    text.Append("|", 1);
    return text.size();
}

}  // namespace kvn
