#include "cfdi/pipe_engine.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "cfdi/pipe_text.h"

namespace kvn {
namespace {

// Names are short: a plain loop beats a call to strcmp.
inline bool SameName(const char* a, const char* b) noexcept {
    while (*a == *b) {
        if (*a == '\0') return true;
        ++a;
        ++b;
    }
    return false;
}

constexpr std::size_t kFirstCapacity = 4096;
// Below the allocator's threshold for mapping fresh pages: freed blocks are reused by the
// next call instead of being faulted in again.
constexpr std::size_t kLargestChunk = std::size_t{1} << 16;

}  // namespace

char* PipeEngine::Bytes::Room(std::size_t n) {
    if (capacity_ - size_ < n) {
        // Offsets and lengths are kept in 32 bits: no block of the library reaches 1 GiB.
        if (n >= kMaxAllocation || size_ + n >= kMaxAllocation) throw AllocError("malloc request is too big.");
        std::size_t capacity = capacity_ == 0 ? kFirstCapacity : capacity_ * 2;
        while (capacity < size_ + n) capacity *= 2;
        if (capacity > kMaxAllocation - 1) capacity = kMaxAllocation - 1;
        UniquePtr<char> bigger(static_cast<char*>(emalloc(capacity)));
        if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = capacity;
    }
    return data_.get() + size_;
}

char* PipeEngine::Chunks::Room(std::size_t n) {
    if (chunks_.empty() || capacity_ - used_ < n) {
        if (n >= kMaxAllocation || size() + n >= kMaxAllocation) throw AllocError("malloc request is too big.");
        std::size_t capacity = chunks_.empty() ? kFirstCapacity : std::min(capacity_ * 2, kLargestChunk);
        if (capacity < n) capacity = n;
        UniquePtr<char> chunk(static_cast<char*>(emalloc(capacity)));
        chunks_.push_back(std::move(chunk));
        total_ += used_;
        capacity_ = capacity;
        used_ = 0;
    }
    return chunks_.back().get() + used_;
}

PipeEngine::PipeEngine(const StylesheetTables& sheet, bool stampMode, const RootAttributeValue* replaced)
    : sheet_(sheet), stampMode_(stampMode), replaced_(replaced),
      replacedId_(replaced ? ResolveAttribute(replaced->name) : kNone) {
    nodes_.push_back({kNone, kNone, kNone, 0, 0, 0});
    positionCache_.assign(std::size_t{sheet.nameCount} * kCachedPositions, 0);
    frames_.push_back({0, kNone, false, false, false});
}

std::uint16_t PipeEngine::ResolveName(const char* uri, const char* local) {
    // Elements of one namespace mostly come in runs: the namespace is looked up once per
    // run. (The parser's URI pointers are not kept: a later declaration may reuse the
    // storage of an ended one.)
    if (!lastUriKnown_ || std::strcmp(uri, lastUri_.c_str()) != 0) {
        lastUri_.assign(uri);
        lastUriKnown_ = true;
        lastSheetUri_ = nullptr;
        lastName_ = 0;
        for (std::uint32_t i = 0; i < sheet_.uriCount; ++i) {
            if (std::strcmp(sheet_.uris[i], uri) == 0) lastSheetUri_ = sheet_.uris[i];
        }
    }
    if (!lastSheetUri_) return 0;
    // Siblings of one name come in runs too (the concepts of an invoice).
    if (lastName_ != 0 && SameName(sheet_.names[lastName_].local, local)) return lastName_;
    const std::uint32_t mask = sheet_.nameSlotMask;
    for (std::uint32_t at = StyleHash(local) & mask;; at = (at + 1) & mask) {
        std::uint16_t id = sheet_.nameSlots[at];
        if (id == 0) return 0;
        const StyleName& name = sheet_.names[id];
        if (name.uri == lastSheetUri_ && SameName(name.local, local)) {
            lastName_ = id;
            return id;
        }
    }
}

std::uint32_t PipeEngine::ResolveAttribute(const char* local) const noexcept {
    const std::uint32_t mask = sheet_.attributeSlotMask;
    for (std::uint32_t at = StyleHash(local) & mask;; at = (at + 1) & mask) {
        std::uint16_t slot = sheet_.attributeSlots[at];
        if (slot == 0) return kNone;
        if (SameName(sheet_.attributes[slot - 1], local)) return slot - 1u;
    }
}

std::uint32_t PipeEngine::AddNode(Frame& parent, std::uint16_t name) {
    if (nodes_.size() >= kNone - 1) throw AllocError("malloc request is too big.");
    const auto index = static_cast<std::uint32_t>(nodes_.size());
    nodes_.push_back({parent.node, kNone, kNone, static_cast<std::uint32_t>(attributes_.size()), 0, name});
    if (parent.lastChild == kNone) {
        nodes_[parent.node].firstChild = index;
    } else {
        nodes_[parent.lastChild].next = index;
    }
    parent.lastChild = index;
    return index;
}

void PipeEngine::StoreAttribute(std::uint32_t id, const char* value) {
    const std::size_t n = std::strlen(value);
    char* start = values_.Room(n);
    char* end = CopyCleaned(start, value, n);
    values_.Commit(end);
    const auto length = static_cast<std::uint32_t>(end - start);
    attributes_.push_back({start, length, id, n == 0 ? 1u : 0u, length != n ? 1u : 0u});
}

std::uint32_t PipeEngine::AttributeAt(std::uint16_t name, std::size_t position, const char* qname) noexcept {
    if (position >= kCachedPositions) return ResolveAttribute(qname);
    std::uint16_t& cached = positionCache_[std::size_t{name} * kCachedPositions + position];
    if (cached != 0 && SameName(sheet_.attributes[cached - 1], qname)) return cached - 1u;
    std::uint32_t id = ResolveAttribute(qname);
    if (id != kNone) cached = static_cast<std::uint16_t>(id + 1);
    return id;
}

// Keeps the attributes a program may read: those without a namespace whose names the
// stylesheet mentions. On the root, the replaced attribute takes its given value.
void PipeEngine::StoreAttributes(std::uint16_t name, const ElementAttribute* attributes, std::size_t count, bool root) {
    Node& node = nodes_.back();
    const std::size_t first = attributes_.size();
    bool replacedDone = !root || replacedId_ == kNone;
    for (std::size_t i = 0; i < count; ++i) {
        if (*attributes[i].uri != '\0') continue;
        std::uint32_t id = AttributeAt(name, i, attributes[i].qname);
        if (id == kNone) continue;
        const char* value = attributes[i].value;
        if (!replacedDone && id == replacedId_) {
            value = replaced_->value;
            replacedDone = true;
        }
        StoreAttribute(id, value);
    }
    if (!replacedDone) StoreAttribute(replacedId_, replaced_->value);
    node.count = static_cast<std::uint32_t>(attributes_.size() - first);
}

bool PipeEngine::OnStartElement(const char* uri, const char* local, const char* /*qname*/,
                                const ElementAttribute* attributes, std::size_t count) {
    std::size_t parentIndex = frames_.size() - 1;
    const bool parentKept = frames_[parentIndex].node != kNone;
    std::uint16_t id = 0;
    if (parentKept || stampMode_) id = ResolveName(uri, local);
    if (!parentKept) {
        // In stamp mode the first stamp in document order becomes the child of the
        // document, as the stamp stylesheet sees it when the stamp is its own document.
        // A document carries one stamp; a second one is not part of the string (written
        // after the first, no seal over the two could ever verify).
        if (!(stampMode_ && id != 0 && sheet_.names[id].hasTemplate) || stampTaken_) {
            frames_.push_back({kNone, kNone, false, false, false});
            return true;
        }
        stampTaken_ = true;
        parentIndex = 0;
    } else if (id == 0 && !frames_[parentIndex].anyChild) {
        frames_.push_back({kNone, kNone, false, false, false});
        return true;
    }
    const StyleName& name = sheet_.names[id];
    const bool templated = id != 0 && name.hasTemplate;
    Frame& parent = frames_[parentIndex];
    Frame frame{};
    frame.node = AddNode(parent, id);
    frame.lastChild = kNone;
    frame.subtree = parent.subtree || (name.flags & kStyleSubtreeAny) != 0;
    // XSLT's built-in rule walks every child of an element no template matches and
    // copies its text.
    frame.anyChild = frame.subtree || !templated || (name.flags & kStyleChildAny) != 0;
    frame.keepText = parent.keepText || !templated || (name.flags & kStyleTextValue) != 0;
    StoreAttributes(id, attributes, count, frames_.size() == 1);
    frames_.push_back(frame);
    return true;
}

bool PipeEngine::OnEndElement(const char* /*uri*/, const char* /*local*/, const char* /*qname*/) {
    frames_.pop_back();
    return true;
}

bool PipeEngine::OnCharacters(const char* text, std::size_t n) {
    Frame& frame = frames_.back();
    if (frame.node == kNone || !frame.keepText || n == 0) return true;
    const std::size_t offset = text_.size();
    char* to = text_.Room(n);
    std::memcpy(to, text, n);
    text_.Commit(to + n);
    // Pieces of one run of text (split by the parser, by references or by comments) join
    // one text node, as in the tree XSLT sees.
    if (frame.lastChild != kNone && nodes_[frame.lastChild].name == kTextNode) {
        nodes_[frame.lastChild].count += static_cast<std::uint32_t>(n);
        return true;
    }
    std::uint32_t index = AddNode(frame, kTextNode);
    nodes_[index].data = static_cast<std::uint32_t>(offset);
    nodes_[index].count = static_cast<std::uint32_t>(n);
    return true;
}

const char* PipeEngine::Write(PipeOutput& out) {
    // Every value written is a stored one or a text, with one separator per instruction
    // run: room for most strings at once.
    out.Reserve(values_.size() + text_.size() + attributes_.size() + nodes_.size() + 16);
    out_ = &out;
    missing_ = nullptr;
    Run(sheet_.rootBegin, sheet_.rootEnd, 0);
    out_ = nullptr;
    return missing_;
}

bool PipeEngine::Matches(std::uint32_t node, std::uint16_t name) const noexcept {
    const std::uint16_t actual = nodes_[node].name;
    return actual != kTextNode && (name == kAnyName || actual == name);
}

// The node after `node` in document order within the subtree of `top`, skipping the
// children of `node`; kNone at the end of the subtree.
static inline std::uint32_t SkipSubtree(const auto& nodes, std::uint32_t node, std::uint32_t top,
                                        std::uint32_t none) noexcept {
    while (node != top) {
        if (nodes[node].next != none) return nodes[node].next;
        node = nodes[node].parent;
    }
    return none;
}

std::uint32_t PipeEngine::NextInSubtree(std::uint32_t node, std::uint32_t top) const noexcept {
    if (nodes_[node].firstChild != kNone) return nodes_[node].firstChild;
    return SkipSubtree(nodes_, node, top, kNone);
}

// Calls visit(node) for each node the steps select from `context`, in document order,
// until visit returns false; returns false when it stopped.
template <class F>
bool PipeEngine::Select(std::uint32_t context, const StyleStep* step, const StyleStep* last, F& visit) {
    if (step == last) return visit(context);
    switch (step->axis) {
        case StyleAxis::kRoot:
            return Select(0, step + 1, last, visit);
        case StyleAxis::kSelf:
            return Select(context, step + 1, last, visit);
        case StyleAxis::kChild:
            for (std::uint32_t c = nodes_[context].firstChild; c != kNone; c = nodes_[c].next) {
                if (Matches(c, step->name) && !Select(c, step + 1, last, visit)) return false;
            }
            return true;
        case StyleAxis::kDescendant:
            for (std::uint32_t n = NextInSubtree(context, context); n != kNone; n = NextInSubtree(n, context)) {
                if (Matches(n, step->name) && !Select(n, step + 1, last, visit)) return false;
            }
            return true;
    }
    return true;
}

const PipeEngine::Attribute* PipeEngine::AttributeOf(std::uint32_t node, std::uint32_t id) const noexcept {
    const Node& n = nodes_[node];
    if (n.name == kTextNode) return nullptr;
    for (std::uint32_t i = n.data; i < n.data + n.count; ++i) {
        if (attributes_[i].id == id) return &attributes_[i];
    }
    return nullptr;
}

void PipeEngine::AppendStringValue(std::uint32_t node, String& to) const {
    for (std::uint32_t n = NextInSubtree(node, node); n != kNone; n = NextInSubtree(n, node)) {
        if (nodes_[n].name == kTextNode) to.append(text_.At(nodes_[n].data), nodes_[n].count);
    }
}

// The value an instruction writes: the first selected node's attribute (XPath's string()
// of a node-set takes the first node in document order) or string value, cleaned.
PipeEngine::Found PipeEngine::FindValue(std::uint32_t context, const StyleInstruction& ins) {
    const StyleStep* first = sheet_.steps + ins.firstStep;
    Found found{"", 0, false, false};
    if (ins.attribute != kNoAttribute) {
        if (ins.stepCount == 1 && first->axis == StyleAxis::kSelf) {  // ./@name, the usual case
            const Attribute* a = AttributeOf(context, ins.attribute);
            return a ? Found{a->value, a->length, true, a->rawEmpty != 0} : found;
        }
        auto visit = [&](std::uint32_t node) {
            const Attribute* a = AttributeOf(node, ins.attribute);
            if (!a) return true;
            found = {a->value, a->length, true, a->rawEmpty != 0};
            return false;
        };
        Select(context, first, first + ins.stepCount, visit);
        return found;
    }
    std::uint32_t element = kNone;
    auto visit = [&](std::uint32_t node) {
        element = node;
        return false;
    };
    Select(context, first, first + ins.stepCount, visit);
    if (element == kNone) return found;
    String raw;
    AppendStringValue(element, raw);
    scratch_.resize(raw.size());
    char* end = CopyCleaned(scratch_.data(), raw.data(), raw.size());
    scratch_.resize(static_cast<std::size_t>(end - scratch_.data()));
    return {scratch_.data(), scratch_.size(), true, raw.empty()};
}

void PipeEngine::Run(std::uint32_t begin, std::uint32_t end, std::uint32_t context) {
    for (std::uint32_t i = begin; i < end;) {
        const StyleInstruction& ins = sheet_.code[i];
        const StyleStep* first = sheet_.steps + ins.firstStep;
        const StyleStep* last = first + ins.stepCount;
        switch (ins.op) {
            case StyleOp::kLiteral:
                out_->Append(ins.text, std::strlen(ins.text));
                break;
            case StyleOp::kRequired:
            case StyleOp::kOptional: {
                Found value = FindValue(context, ins);
                if (ins.op == StyleOp::kOptional && !value.present) break;
                if (ins.op == StyleOp::kRequired && stampMode_ && !missing_ && (!value.present || value.rawEmpty)) {
                    missing_ = ins.attribute != kNoAttribute ? sheet_.attributes[ins.attribute] : "";
                }
                out_->AppendField(value.text, value.length);
                break;
            }
            case StyleOp::kApply: {
                auto visit = [&](std::uint32_t node) {
                    Apply(node);
                    return true;
                };
                Select(context, first, last, visit);
                break;
            }
            case StyleOp::kForEach: {
                auto visit = [&](std::uint32_t node) {
                    Run(i + 1, ins.end, node);
                    return true;
                };
                Select(context, first, last, visit);
                break;
            }
            case StyleOp::kIfExists: {
                bool any = false;
                auto visit = [&](std::uint32_t) {
                    any = true;
                    return false;
                };
                Select(context, first, last, visit);
                if (any) Run(i + 1, ins.end, context);
                break;
            }
            case StyleOp::kIfEquals: {
                // XPath compares the value as written. The compared texts hold no white space
                // (the generator checks), so the written value equals one exactly when its
                // cleaned value does and cleaning dropped nothing.
                const Attribute* a = AttributeOf(context, ins.attribute);
                if (a && !a->changed && a->length == std::strlen(ins.text) && std::memcmp(a->value, ins.text, a->length) == 0) {
                    Run(i + 1, ins.end, context);
                }
                break;
            }
        }
        i = ins.end;
    }
}

void PipeEngine::RunTemplate(std::uint16_t name, std::uint32_t node) {
    if (depth_ >= kMaxTemplateDepth) {
        tooDeep_ = true;
        return;
    }
    ++depth_;
    Run(sheet_.names[name].begin, sheet_.names[name].end, node);
    --depth_;
}

// Applies templates to one node: its template's program, or XSLT's built-in rule (text
// copied as it stands; for an element, templates applied to its children in order), which
// is walked here without recursion.
void PipeEngine::Apply(std::uint32_t node) {
    auto templated = [&](std::uint16_t name) { return name != kTextNode && name != 0 && sheet_.names[name].hasTemplate; };
    const Node& start = nodes_[node];
    if (start.name == kTextNode) {
        out_->Append(text_.At(start.data), start.count);
        return;
    }
    if (templated(start.name)) {
        RunTemplate(start.name, node);
        return;
    }
    std::uint32_t n = start.firstChild;
    while (n != kNone) {
        const Node& x = nodes_[n];
        bool descend = false;
        if (x.name == kTextNode) {
            out_->Append(text_.At(x.data), x.count);
        } else if (templated(x.name)) {
            RunTemplate(x.name, n);
        } else {
            descend = x.firstChild != kNone;
        }
        n = descend ? x.firstChild : SkipSubtree(nodes_, n, node, kNone);
    }
}

}  // namespace kvn
