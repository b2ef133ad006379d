#include "cfdi/pipe_string.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <optional>

#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "cfdi/pipe_engine.h"
#include "cfdi/pipe_text.h"
#include "cfdi/stylesheet_tables.h"
#include "cfdi/xml_events.h"
#include "kelvane.h"

namespace kvn {
namespace {

constexpr int kMinimumResult = 4;  // "||" and at least two more characters

int ClampToInt(std::size_t n) noexcept { return n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

// The error of a parse that did not run to its end, recorded; 0 otherwise.
int ParseOutcome(const XmlParseResult& result) {
    switch (result.status) {
        case XmlParseStatus::kComplete:
        case XmlParseStatus::kStopped:
            return 0;
        case XmlParseStatus::kCreateFailed:
            RecordError("Error creating XML parser/Error al crear el parser de XML");
            return -PARSER_FAILED_ERROR;
        case XmlParseStatus::kError:
            break;
    }
    RecordError("Error: %s (Line: %d)", result.message, result.line);
    return -BAD_XML_ERROR;
}

// Feeds a PipeEngine made once the stylesheet is known. In a single pass, the stylesheet
// comes from the root's start tag: when the root settles a version that has one for the
// options given, the engine starts there and the one parse gives the pipe string. Any
// other start (another root, no version, a version without a stylesheet, an error before
// the root) makes the sink decline: the caller then takes the general path, which reads
// the version in a parse of its own, reports each of those cases, and feeds the same sink
// with the stylesheet set beforehand.
class PipeSink final : public XmlEventSink {
public:
    PipeSink(bool stampMode, const RootAttributeValue* replaced) : stampMode_(stampMode), replaced_(replaced) {}

    void Use(const StylesheetTables& sheet) { engine_.emplace(sheet, stampMode_, replaced_); }
    PipeEngine* engine() noexcept { return engine_ ? &*engine_ : nullptr; }

    bool OnStartElement(const char* uri, const char* local, const char* qname, const ElementAttribute* attributes,
                        std::size_t count) override {
        if (!engine_) {
            const StylesheetTables* sheet = StylesheetFor(RootVersionNumber(uri, local, attributes, count), stampMode_);
            if (!sheet) return false;
            Use(*sheet);
        }
        return engine_->OnStartElement(uri, local, qname, attributes, count);
    }
    bool OnEndElement(const char* uri, const char* local, const char* qname) override {
        return engine_ && engine_->OnEndElement(uri, local, qname);
    }
    bool OnCharacters(const char* text, std::size_t n) override { return engine_ && engine_->OnCharacters(text, n); }

private:
    bool stampMode_;
    const RootAttributeValue* replaced_;
    std::optional<PipeEngine> engine_;
};

// The general path: the version read by its own parse, then the stylesheet's engine fed
// by a parse from the start of the document.
int ParseWithVersionFirst(const char* xmlFile, std::FILE* document, bool stampMode, PipeSink& sink) {
    int versionNumber = VersionNumber(xmlFile);
    if (stampMode && versionNumber < 30) {
        RecordError("TFD option only valid for version 3.x CFDI document/TFD opcion solo es valida para la version 3.x "
                    "documento CFDI");
        return -BAD_FLAG_ERROR;
    }
    const StylesheetTables* sheet = StylesheetFor(versionNumber, stampMode);
    if (!sheet) {
        RecordError("Version '%.1f' not supported/La version no es compatible", versionNumber / 10.0);
        return -NOT_SUPPORTED_ERROR;
    }
    sink.Use(*sheet);
    std::rewind(document);
    return ParseOutcome(ParseXmlEvents(document, sink, kXmlWhitespaceText));
}

// The stylesheet's output for the document into `pipe`, or a negative code with its
// message recorded (stamp mode: MISSING_ERROR for an absent or empty required attribute).
int Compute(PipeOutput& pipe, const char* xmlFile, int options, const RootAttributeValue* replaced) {
    const bool stampMode = (options & KVN_OPT_STAMP) != 0;
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return -OPEN_ERROR;
    PipeSink sink(stampMode, replaced);
    XmlParseResult single = ParseXmlEvents(document.get(), sink, kXmlWhitespaceText);
    int rc = sink.engine() ? ParseOutcome(single) : ParseWithVersionFirst(xmlFile, document.get(), stampMode, sink);
    if (rc < 0) return rc;
    const char* missing = sink.engine()->Write(pipe);
    if (missing) {
        RecordError("Attribute '%s' is mandatory/Atributo es obligatorio", missing);
        return -MISSING_ERROR;
    }
    return 0;
}

}  // namespace

int MakePipeString(char* out, int outlen, const char* xmlFile, int options) {
    const bool wantsLength = out == nullptr || outlen < 1;
    PipeOutput pipe = wantsLength ? PipeOutput() : PipeOutput(out, static_cast<std::size_t>(outlen));
    if (!wantsLength) out[0] = '\0';
    if (int rc = Compute(pipe, xmlFile, options, nullptr); rc < 0) {
        if (!wantsLength) out[0] = '\0';
        return rc;
    }
    // Without a buffer the length is exact (before any Latin-1 conversion, which only
    // shortens): an upper bound of what the call with a buffer returns.
    std::size_t length = pipe.length();
    if (!wantsLength) {
        length = pipe.written();
        out[length] = '\0';
        if (options & KVN_OPT_LATIN1) length = Utf8ToLatin1InPlace(out, length);
    }
    if (length < kMinimumResult) {
        if (!wantsLength) out[0] = '\0';
        return -NO_DATA_ERROR;
    }
    return ClampToInt(length);
}

int BuildPipeString(String& pipe, const char* xmlFile, int options, const RootAttributeValue* replaced) {
    pipe.clear();
    PipeOutput output(pipe);
    if (int rc = Compute(output, xmlFile, options, replaced); rc < 0) {
        pipe.clear();
        return rc;
    }
    std::size_t length = pipe.size();
    if (options & KVN_OPT_LATIN1) {
        length = Utf8ToLatin1InPlace(pipe.data(), length);
        pipe.resize(length);
    }
    if (length < kMinimumResult) {
        pipe.clear();
        return -NO_DATA_ERROR;
    }
    return ClampToInt(length);
}

}  // namespace kvn
