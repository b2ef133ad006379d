// Until the library's own parser is linked in, the module tests read documents through
// libxml2 (this definition takes precedence over the archive's).
#include "libxml2_events.h"

namespace kvn {

XmlParseResult ParseXmlEvents(std::FILE* document, XmlEventSink& sink, unsigned options) {
    return testing::ParseXmlEventsWithLibxml2(document, sink, options);
}

}  // namespace kvn
