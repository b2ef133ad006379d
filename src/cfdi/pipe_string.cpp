#include "cfdi/pipe_string.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "base/lasterror.h"
#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "cfdi/pipe_builder.h"
#include "cfdi/pipe_text.h"
#include "cfdi/schema_tables.h"
#include "cfdi/xml_events.h"
#include "kelvane.h"

namespace kvn {
namespace {

constexpr int kMinimumResult = 4;  // "||" and at least two more characters

int ClampToInt(std::size_t n) noexcept { return n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n); }

// The table for the computation, or null after recording why there is none.
const ElementEntry* ChooseTable(int versionNumber, bool stampMode) {
    const ElementEntry* table = stampMode ? StampSchemaTable() : SchemaTableForVersion(versionNumber);
    if (!table) {
        RecordError("Version '%.1f' not supported/La version no es compatible", versionNumber / 10.0);
    }
    return table;
}

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

// Feeds a PipeBuilder made once the table is known. In a single pass, the table comes
// from the root's start tag: when the root is a Comprobante whose version names a table
// the options allow, the builder starts there and the one parse gives the pipe string.
// Any other start (another root, no version, a version without a table, an error before
// the root) makes the sink decline: the caller then takes the general path, which reads
// the version in a parse of its own, reports each of those cases, and feeds the same sink
// with the table set beforehand.
class PipeSink final : public XmlEventSink {
public:
    PipeSink(bool stampMode, const RootAttributeValue* replaced) : stampMode_(stampMode), replaced_(replaced) {}

    void UseTable(const ElementEntry* table) { builder_.emplace(table, stampMode_); }
    PipeBuilder* builder() noexcept { return builder_ ? &*builder_ : nullptr; }
    void Restart() noexcept { rootSeen_ = false; }

    bool OnStartElement(const char* uri, const char* local, const char* qname, const ElementAttribute* attributes,
                        std::size_t count) override {
        if (!rootSeen_) {
            rootSeen_ = true;
            if (replaced_) {
                WithReplacement(attributes, count);
                attributes = rootAttributes_.data();
                count = rootAttributes_.size();
            }
        }
        if (!builder_) {
            const ElementEntry* table = TableOfRoot(local, qname, attributes, count);
            if (!table) return false;
            UseTable(table);
        }
        return builder_->OnStartElement(uri, local, qname, attributes, count);
    }
    bool OnEndElement(const char* uri, const char* local, const char* qname) override {
        return builder_ && builder_->OnEndElement(uri, local, qname);
    }
    bool OnCharacters(const char* text, std::size_t n) override {
        return builder_ && builder_->OnCharacters(text, n);
    }

private:
    // The table the general path would choose for a document with this root, or null when
    // that path would read the version elsewhere or fail.
    const ElementEntry* TableOfRoot(const char* local, const char* qname, const ElementAttribute* attributes,
                                    std::size_t count) const {
        const char* name = *local == '\0' ? qname : local;
        if (std::strcmp(name, "Comprobante") != 0) return nullptr;
        const char* value = nullptr;
        for (std::size_t i = 0; i < count && !value; ++i) {
            if (std::strcmp(attributes[i].qname, "version") == 0) value = attributes[i].value;
        }
        if (!value) return nullptr;
        int versionNumber = SupportedVersionNumber(value);
        if (versionNumber == 0) return nullptr;
        if (stampMode_ && versionNumber < 30) return nullptr;
        return stampMode_ ? StampSchemaTable() : SchemaTableForVersion(versionNumber);
    }

    // The root's attributes with the replaced one's value set (or added at the end).
    void WithReplacement(const ElementAttribute* attributes, std::size_t count) {
        rootAttributes_.assign(attributes, attributes + count);
        for (ElementAttribute& a : rootAttributes_) {
            if (std::strcmp(a.qname, replaced_->name) == 0) {
                a.value = replaced_->value;
                return;
            }
        }
        rootAttributes_.push_back({replaced_->name, replaced_->value, "", replaced_->name});
    }

    bool stampMode_;
    const RootAttributeValue* replaced_;
    bool rootSeen_ = false;
    Vec<ElementAttribute> rootAttributes_;
    std::optional<PipeBuilder> builder_;
};

// The general path: the version read by its own parse, then the table's builder fed by a
// parse from the start of the document.
int ParseWithVersionFirst(const char* xmlFile, std::FILE* document, bool stampMode, PipeSink& sink) {
    int versionNumber = VersionNumber(xmlFile);
    if (stampMode && versionNumber < 30) {
        RecordError("TFD option only valid for version 3.x CFDI document/TFD opcion solo es valida para la version 3.x "
                    "documento CFDI");
        return -BAD_FLAG_ERROR;
    }
    const ElementEntry* table = ChooseTable(versionNumber, stampMode);
    if (!table) return -NOT_SUPPORTED_ERROR;
    sink.UseTable(table);
    sink.Restart();
    std::rewind(document);
    return ParseOutcome(ParseXmlEvents(document, sink, kXmlDefaults));
}

// Runs the parse(s) that fill the sink's builder and checks stamp mode's mandatory
// values. Returns 0 or a negative code with its message recorded.
int Collect(PipeSink& sink, const char* xmlFile, bool stampMode) {
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return -OPEN_ERROR;
    XmlParseResult single = ParseXmlEvents(document.get(), sink, kXmlDefaults);
    int rc = sink.builder() ? ParseOutcome(single) : ParseWithVersionFirst(xmlFile, document.get(), stampMode, sink);
    if (rc < 0) return rc;
    if (stampMode) {
        if (const char* missing = sink.builder()->FirstMissingMandatory()) {
            RecordError("Attribute '%s' is mandatory/Atributo es obligatorio", missing);
            return -MISSING_ERROR;
        }
    }
    return 0;
}

}  // namespace

int MakePipeString(char* out, int outlen, const char* xmlFile, int options) {
    const bool stampMode = (options & KVN_OPT_STAMP) != 0;
    PipeSink sink(stampMode, nullptr);
    if (int rc = Collect(sink, xmlFile, stampMode); rc < 0) return rc;
    PipeBuilder& builder = *sink.builder();

    const bool wantsLength = out == nullptr || outlen < 1;
    std::size_t length = 0;
    if (wantsLength) {
        length = builder.LengthBound();
    } else {
        length = builder.Write(out, static_cast<std::size_t>(outlen));
        if (options & KVN_OPT_LATIN1) length = Utf8ToLatin1InPlace(out, length);
    }
    if (length < kMinimumResult) {
        if (!wantsLength) out[0] = '\0';
        return -NO_DATA_ERROR;
    }
    return ClampToInt(length);
}

int BuildPipeString(String& pipe, const char* xmlFile, int options, const RootAttributeValue* replaced) {
    const bool stampMode = (options & KVN_OPT_STAMP) != 0;
    pipe.clear();
    PipeSink sink(stampMode, replaced);
    if (int rc = Collect(sink, xmlFile, stampMode); rc < 0) return rc;
    PipeBuilder& builder = *sink.builder();
    pipe.resize(builder.LengthBound() + 1);  // room for Write's NUL
    std::size_t length = builder.Write(pipe.data(), pipe.size() - 1);
    if (options & KVN_OPT_LATIN1) length = Utf8ToLatin1InPlace(pipe.data(), length);
    pipe.resize(length);
    if (length < kMinimumResult) {
        pipe.clear();
        return -NO_DATA_ERROR;
    }
    return ClampToInt(length);
}

}  // namespace kvn
