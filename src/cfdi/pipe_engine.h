// The pipe-string engine: runs a stylesheet's programs (stylesheet_tables.h) over a
// document read once as a stream of element events.
//
// While the document streams by, the engine keeps a tree of only what the programs can
// reach: elements whose names the stylesheet mentions (or that lie where a program takes
// every child or descendant, or where XSLT's built-in rule copies text), the attributes it
// reads (each value stored already cleaned) and the text it may write. Everything else
// is dropped as it arrives, so memory follows the pipe string, not the document. After
// the parse the template programs run over that tree in the stylesheet's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "base/memory.h"
#include "cfdi/pipe_string.h"
#include "cfdi/stylesheet_tables.h"
#include "cfdi/xml_events.h"

namespace kvn {

// Where the engine writes the pipe string: a String, a caller's buffer of fixed capacity
// (what does not fit is counted, not written), or nowhere (counted only).
class PipeOutput {
public:
    PipeOutput() noexcept = default;
    PipeOutput(char* buffer, std::size_t capacity) noexcept : buffer_(buffer), capacity_(capacity) {}
    explicit PipeOutput(String& text) noexcept : text_(&text) {}

    void Append(const char* p, std::size_t n) {
        if (text_) {
            text_->append(p, n);
        } else if (written_ < capacity_) {
            std::size_t take = n < capacity_ - written_ ? n : capacity_ - written_;
            std::memcpy(buffer_ + written_, p, take);
            written_ += take;
        }
        length_ += n;
    }
    // "|" and a value: the step that writes almost all of the string.
    void AppendField(const char* p, std::size_t n) {
        if (!text_ && capacity_ - written_ > n) {
            char* to = buffer_ + written_;
            *to++ = '|';
            // Values are short: a byte loop beats a call for them.
            if (n <= 16) {
                for (std::size_t i = 0; i < n; ++i) to[i] = p[i];
            } else {
                std::memcpy(to, p, n);
            }
            written_ += n + 1;
            length_ += n + 1;
            return;
        }
        Append("|", 1);
        Append(p, n);
    }
    void Reserve(std::size_t n) {
        if (text_) text_->reserve(text_->size() + n);
    }
    std::size_t length() const noexcept { return length_; }    // all that was appended
    std::size_t written() const noexcept { return written_; }  // what went into the buffer

private:
    String* text_ = nullptr;
    char* buffer_ = nullptr;
    std::size_t capacity_ = 0;
    std::size_t written_ = 0;
    std::size_t length_ = 0;
};

class PipeEngine final : public XmlEventSink {
public:
    // `stampMode`: the sheet is a stamp stylesheet, applied (as the stamp's own document)
    // to the first stamp element of the document in document order, wherever it lies; later
    // stamps are dropped. `replaced` (may be null):
    // a root attribute taken as present with the given value.
    PipeEngine(const StylesheetTables& sheet, bool stampMode, const RootAttributeValue* replaced);

    bool OnStartElement(const char* uri, const char* local, const char* qname, const ElementAttribute* attributes,
                        std::size_t count) override;
    bool OnEndElement(const char* uri, const char* local, const char* qname) override;
    bool OnCharacters(const char* text, std::size_t n) override;

    // After the parse: appends the stylesheet's output to `out`. In stamp mode, returns the
    // name of the first required attribute that is absent or empty (null when none);
    // otherwise null.
    const char* Write(PipeOutput& out);

    // After Write: templates were applied to elements nested deeper than the engine follows
    // (kMaxTemplateDepth); the output is then incomplete and must not be used.
    bool TooDeep() const noexcept { return tooDeep_; }

    // Nested template applications followed (each takes C stack; real invoices need a
    // handful, a hostile document could ask for millions).
    static constexpr int kMaxTemplateDepth = 1000;

private:
    static constexpr std::uint32_t kNone = 0xFFFFFFFF;
    static constexpr std::uint16_t kTextNode = 0xFFFE;

    // A kept node. Elements: `data`/`count` index their stored attributes; text: the
    // bytes of the text in text_.
    struct Node {
        std::uint32_t parent;
        std::uint32_t firstChild;
        std::uint32_t next;
        std::uint32_t data;
        std::uint32_t count;
        std::uint16_t name;  // name id, or kTextNode
    };
    struct Attribute {
        const char* value;  // cleaned, in values_
        std::uint32_t length;
        std::uint32_t id : 30;
        std::uint32_t rawEmpty : 1;  // the value as written was empty
        std::uint32_t changed : 1;   // cleaning made it shorter
    };
    // One open element of the stream.
    struct Frame {
        std::uint32_t node;       // kNone when the element is dropped
        std::uint32_t lastChild;  // kNone before its first kept child
        bool anyChild;            // keep children of every name
        bool subtree;             // keep every descendant
        bool keepText;
    };
    struct Found {
        const char* text;
        std::size_t length;
        bool present;
        bool rawEmpty;
    };

    std::uint16_t ResolveName(const char* uri, const char* local);
    std::uint32_t ResolveAttribute(const char* local) const noexcept;
    std::uint32_t AddNode(Frame& parent, std::uint16_t name);
    void StoreAttribute(std::uint32_t id, const char* value);
    void StoreAttributes(std::uint16_t name, const ElementAttribute* attributes, std::size_t count, bool root);
    std::uint32_t AttributeAt(std::uint16_t name, std::size_t position, const char* qname) noexcept;

    void Run(std::uint32_t begin, std::uint32_t end, std::uint32_t context);
    void Apply(std::uint32_t node);
    void RunTemplate(std::uint16_t name, std::uint32_t node);
    template <class F>
    bool Select(std::uint32_t context, const StyleStep* step, const StyleStep* last, F& visit);
    bool Matches(std::uint32_t node, std::uint16_t name) const noexcept;
    Found FindValue(std::uint32_t context, const StyleInstruction& ins);
    const Attribute* AttributeOf(std::uint32_t node, std::uint32_t id) const noexcept;
    void AppendStringValue(std::uint32_t node, String& to) const;
    std::uint32_t NextInSubtree(std::uint32_t node, std::uint32_t top) const noexcept;

    const StylesheetTables& sheet_;
    bool stampMode_;
    const RootAttributeValue* replaced_;
    std::uint32_t replacedId_;
    // The last element namespace resolved: its URI and the stylesheet's pointer for it
    // (null when the stylesheet names no element in it).
    String lastUri_;
    bool lastUriKnown_ = false;
    std::uint16_t lastName_ = 0;  // the last name found in that namespace
    const char* lastSheetUri_ = nullptr;
    // Per element name and attribute position (the first kCachedPositions): the attribute
    // id + 1 found there last time. Documents repeat their attribute order, so a hit costs
    // one comparison of names instead of a hash and a probe.
    static constexpr std::size_t kCachedPositions = 8;
    Vec<std::uint16_t> positionCache_;

    // Bytes appended at the end, in one block that grows by doubling (the text, where
    // pieces of one run must stay contiguous).
    class Bytes {
    public:
        char* Room(std::size_t n);  // room for n more bytes at the end
        void Commit(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_.get()); }
        const char* At(std::size_t offset) const noexcept { return data_.get() + offset; }
        std::size_t size() const noexcept { return size_; }

    private:
        UniquePtr<char> data_;
        std::size_t capacity_ = 0;
        std::size_t size_ = 0;
    };
    // Bytes in chunks that are filled in turn and never move (the attribute values, which
    // are pointed at): growing neither copies nor touches fresh memory twice.
    class Chunks {
    public:
        char* Room(std::size_t n);  // room for n more bytes, within one chunk
        void Commit(const char* end) noexcept { used_ = static_cast<std::size_t>(end - chunks_.back().get()); }
        std::size_t size() const noexcept { return total_ + used_; }

    private:
        Vec<UniquePtr<char>> chunks_;
        std::size_t capacity_ = 0;  // of the last chunk
        std::size_t used_ = 0;      // of the last chunk
        std::size_t total_ = 0;     // used in the chunks before the last
    };
    // A vector in fixed blocks: indices stay valid and growth copies nothing.
    template <class T>
    class BlockVec {
    public:
        static constexpr std::size_t kShift = 9;
        static constexpr std::size_t kBlock = std::size_t{1} << kShift;
        T& operator[](std::size_t i) noexcept { return blocks_[i >> kShift].get()[i & (kBlock - 1)]; }
        const T& operator[](std::size_t i) const noexcept { return blocks_[i >> kShift].get()[i & (kBlock - 1)]; }
        std::size_t size() const noexcept { return size_; }
        void push_back(const T& value) {
            if ((size_ & (kBlock - 1)) == 0) {
                UniquePtr<T> block(static_cast<T*>(emalloc(kBlock * sizeof(T))));
                blocks_.push_back(std::move(block));
            }
            blocks_.back().get()[size_ & (kBlock - 1)] = value;
            ++size_;
        }
        T& back() noexcept { return (*this)[size_ - 1]; }

    private:
        Vec<UniquePtr<T>> blocks_;
        std::size_t size_ = 0;
    };

    BlockVec<Node> nodes_;
    BlockVec<Attribute> attributes_;
    Chunks values_;
    Bytes text_;
    Vec<Frame> frames_;

    PipeOutput* out_ = nullptr;
    String scratch_;
    const char* missing_ = nullptr;
    int depth_ = 0;
    bool tooDeep_ = false;
    bool stampTaken_ = false;  // stamp mode: the first stamp was kept
};

}  // namespace kvn
