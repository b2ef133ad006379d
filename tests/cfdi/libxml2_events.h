// Test-only: the element events of a document as libxml2's SAX2 parser reports them.
// Used as an independent peer of the library's own parser.
#pragma once

#include <cstdio>

#include "cfdi/xml_events.h"

namespace kvn::testing {

XmlParseResult ParseXmlEventsWithLibxml2(std::FILE* document, XmlEventSink& sink, unsigned options);

}  // namespace kvn::testing
