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

#include "base/memory.h"
#include "cfdi/pipe_string.h"
#include "cfdi/stylesheet_tables.h"
#include "cfdi/xml_events.h"

namespace kvn {

class PipeEngine final : public XmlEventSink {
public:
    // `stampMode`: the sheet is a stamp stylesheet, applied (as the stamp's own document)
    // to every stamp element of the document, wherever it lies. `replaced` (may be null):
    // a root attribute taken as present with the given value.
    PipeEngine(const StylesheetTables& sheet, bool stampMode, const RootAttributeValue* replaced);

    bool OnStartElement(const char* uri, const char* local, const char* qname, const ElementAttribute* attributes,
                        std::size_t count) override;
    bool OnEndElement(const char* uri, const char* local, const char* qname) override;
    bool OnCharacters(const char* text, std::size_t n) override;

    // After the parse: appends the stylesheet's output to `out`. In stamp mode, returns the
    // name of the first required attribute that is absent or empty (null when none);
    // otherwise null.
    const char* Write(String& out);

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
        std::uint32_t id;
        std::uint32_t offset;  // cleaned value in values_
        std::uint32_t length;
        bool rawEmpty;  // the value as written was empty
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

    std::uint16_t ResolveName(const char* uri, const char* local) const noexcept;
    std::uint32_t ResolveAttribute(const char* local) const noexcept;
    std::uint32_t AddNode(Frame& parent, std::uint16_t name);
    void StoreAttribute(std::uint32_t id, const char* value);
    void StoreAttributes(const ElementAttribute* attributes, std::size_t count, bool root);

    void Run(std::uint32_t begin, std::uint32_t end, std::uint32_t context);
    void Apply(std::uint32_t node);
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

    // Bytes appended at the end, never moved once written except by growth.
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

    Vec<Node> nodes_;
    Vec<Attribute> attributes_;
    Bytes values_;
    Bytes text_;
    Vec<Frame> frames_;

    String* out_ = nullptr;
    String scratch_;
    const char* missing_ = nullptr;
};

}  // namespace kvn
