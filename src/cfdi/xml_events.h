// The document readers of this folder see a parse as a stream of element events. This
// is the seam between them and the streaming parser: one call runs a whole parse over an
// open document and hands each start tag, end tag and text run to a sink.
#pragma once

#include <cstddef>
#include <cstdio>

namespace kvn {

// One attribute of a start tag, as the parser delivers it: UTF-8, NUL-terminated, value
// normalised with entities expanded. `uri` and `local` are "" when the name has no
// namespace. Valid only during the OnStartElement call.
struct ElementAttribute {
    const char* qname;
    const char* value;
    const char* uri;
    const char* local;
};

// Receives the events of one parse. Every text is NUL-terminated UTF-8; `uri` and `local`
// of an element are "" when no namespace applies to it (an unprefixed element without a
// default namespace in scope). A handler returns false to stop the parse; the parse then
// ends as XmlParseStatus::kStopped, not as an error.
class XmlEventSink {
public:
    virtual bool OnStartElement(const char* uri, const char* local, const char* qname,
                                const ElementAttribute* attributes, std::size_t count) = 0;
    virtual bool OnEndElement(const char* /*uri*/, const char* /*local*/, const char* /*qname*/) { return true; }
    // Character data and CDATA content, possibly in several pieces. A run of white space
    // only between tags is not delivered (the parser reports it as ignorable) unless the
    // parse asks for it with kXmlWhitespaceText.
    virtual bool OnCharacters(const char* /*text*/, std::size_t /*n*/) { return true; }

protected:
    ~XmlEventSink() = default;
};

enum class XmlParseStatus {
    kComplete,       // the document was well-formed to its end
    kStopped,        // a handler asked to stop
    kError,          // the parser reported an error: see XmlParseResult
};

struct XmlParseResult {
    XmlParseStatus status = XmlParseStatus::kComplete;
    char message[128] = {};  // the parser's error text, when status is kError
    int line = 0;            // 1-based line of the error
};

// Parser options of a parse.
enum XmlEventOptions : unsigned {
    kXmlDefaults = 0,
    // Namespace declarations (xmlns, xmlns:p) stay in the attribute lists.
    kXmlKeepNamespaceDeclarations = 1,
    // Runs of white space only between tags reach OnCharacters too, so the sink sees
    // every character of the content.
    kXmlWhitespaceText = 2,
};

// Parses the document read from `document` (binary stream, positioned at its start)
// and feeds the sink. Running out of memory, in the parser or in the sink's handlers,
// propagates as std::bad_alloc after the parser has been released.
XmlParseResult ParseXmlEvents(std::FILE* document, XmlEventSink& sink, unsigned options);

}  // namespace kvn
