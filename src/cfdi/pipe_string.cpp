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

// BAD_XML_ERROR, recorded, for a parse that the parser stopped with an error.
Error ParseOutcome(const XmlParseResult& result) {
    if (result.status != XmlParseStatus::kError) return kOk;
    RecordError("Error: %s (Line: %d)", result.message, result.line);
    return Error::BAD_XML_ERROR;
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
//
// A failed version read is not the answer by itself: the stamp-mode check and the
// stylesheet choice below decide, after the read's own message, and the version shown in
// "Version '%.1f' not supported" is then the read's negated code over ten (a document
// that is not well-formed shows as version -2.7), as callers have always seen it.
Error ParseWithVersionFirst(const char* xmlFile, std::FILE* document, bool stampMode, PipeSink& sink) {
    int versionNumber = 0;
    if (Error read = VersionNumber(xmlFile, versionNumber); Failed(read)) versionNumber = ResultOf(read);
    if (stampMode && versionNumber < 30) {
        RecordError("TFD option only valid for version 3.x CFDI document/TFD opcion solo es valida para la version 3.x "
                    "documento CFDI");
        return Error::BAD_FLAG_ERROR;
    }
    const StylesheetTables* sheet = StylesheetFor(versionNumber, stampMode);
    if (!sheet) {
        RecordError("Version '%.1f' not supported/La version no es compatible", versionNumber / 10.0);
        return Error::NOT_SUPPORTED_ERROR;
    }
    sink.Use(*sheet);
    std::rewind(document);
    return ParseOutcome(ParseXmlEvents(document, sink, kXmlWhitespaceText));
}

// The stylesheet's output for the document into `pipe`; failures have their message
// recorded (stamp mode: MISSING_ERROR for an absent or empty required attribute).
Error Compute(PipeOutput& pipe, const char* xmlFile, int options, const RootAttributeValue* replaced) {
    const bool stampMode = (options & KVN_OPT_STAMP) != 0;
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return Error::OPEN_ERROR;
    PipeSink sink(stampMode, replaced);
    XmlParseResult single = ParseXmlEvents(document.get(), sink, kXmlWhitespaceText);
    Error rc = sink.engine() ? ParseOutcome(single) : ParseWithVersionFirst(xmlFile, document.get(), stampMode, sink);
    if (Failed(rc)) return rc;
    const char* missing = sink.engine()->Write(pipe);
    if (sink.engine()->TooDeep()) {
        RecordError("Error: %s (Line: %d)", "elements nested too deeply for the stylesheet", 0);
        return Error::BAD_XML_ERROR;
    }
    if (missing) {
        RecordError("Attribute '%s' is mandatory/Atributo es obligatorio", missing);
        return Error::MISSING_ERROR;
    }
    return kOk;
}

}  // namespace

Error MakePipeString(char* out, int outlen, const char* xmlFile, int options, int& length) {
    length = 0;
    const bool wantsLength = out == nullptr || outlen < 1;
    PipeOutput pipe = wantsLength ? PipeOutput() : PipeOutput(out, static_cast<std::size_t>(outlen));
    if (!wantsLength) out[0] = '\0';
    if (Error rc = Compute(pipe, xmlFile, options, nullptr); Failed(rc)) {
        if (!wantsLength) out[0] = '\0';
        return rc;
    }
    // Without a buffer the length is exact (before any Latin-1 conversion, which only
    // shortens): an upper bound of what the call with a buffer gives.
    std::size_t written = pipe.length();
    if (!wantsLength) {
        written = pipe.written();
        out[written] = '\0';
        if (options & KVN_OPT_LATIN1) written = Utf8ToLatin1InPlace(out, written);
    }
    if (written < kMinimumResult) {
        if (!wantsLength) out[0] = '\0';
        return Error::NO_DATA_ERROR;
    }
    length = ClampToInt(written);
    return kOk;
}

Error BuildPipeString(String& pipe, const char* xmlFile, int options, const RootAttributeValue* replaced) {
    pipe.clear();
    PipeOutput output(pipe);
    if (Error rc = Compute(output, xmlFile, options, replaced); Failed(rc)) {
        pipe.clear();
        return rc;
    }
    if (options & KVN_OPT_LATIN1) pipe.resize(Utf8ToLatin1InPlace(pipe.data(), pipe.size()));
    if (pipe.size() < kMinimumResult) {
        pipe.clear();
        return Error::NO_DATA_ERROR;
    }
    return kOk;
}

}  // namespace kvn
