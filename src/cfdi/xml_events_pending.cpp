// Placeholder until the streaming parser is part of the library: every parse reports that
// no parser could be made, so the callers fail with PARSER_FAILED_ERROR.
#include "cfdi/xml_events.h"

namespace kvn {

XmlParseResult ParseXmlEvents(std::FILE*, XmlEventSink&, unsigned) {
    XmlParseResult result;
    result.status = XmlParseStatus::kCreateFailed;
    return result;
}

}  // namespace kvn
