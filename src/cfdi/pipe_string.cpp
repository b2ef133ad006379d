#include "cfdi/pipe_string.h"

#include <climits>

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

int ParseInto(std::FILE* document, PipeBuilder& builder) {
    XmlParseResult result = ParseXmlEvents(document, builder, kXmlDefaults);
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

}  // namespace

int MakePipeString(char* out, int outlen, const char* xmlFile, int options) {
    const bool stampMode = (options & KVN_OPT_STAMP) != 0;
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return -OPEN_ERROR;
    int versionNumber = VersionNumber(xmlFile);
    if (stampMode && versionNumber < 30) {
        RecordError("TFD option only valid for version 3.x CFDI document/TFD opcion solo es valida para la version 3.x "
                    "documento CFDI");
        return -BAD_FLAG_ERROR;
    }
    const ElementEntry* table = ChooseTable(versionNumber, stampMode);
    if (!table) return -NOT_SUPPORTED_ERROR;

    PipeBuilder builder(table, stampMode);
    if (int rc = ParseInto(document.get(), builder); rc < 0) return rc;
    if (stampMode) {
        if (const char* missing = builder.FirstMissingMandatory()) {
            RecordError("Attribute '%s' is mandatory/Atributo es obligatorio", missing);
            return -MISSING_ERROR;
        }
    }

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

}  // namespace kvn
