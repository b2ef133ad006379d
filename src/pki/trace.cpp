#include "pki/trace.h"

#include <cstdarg>
#include <cstdio>

namespace kvn {
namespace {
asn_TraceSink g_sink = nullptr;
}

void asn_Trace(const char* format, ...) {
    if (!g_sink) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    g_sink(text);
}

asn_TraceSink asn_SetTraceSink(asn_TraceSink sink) noexcept {
    asn_TraceSink previous = g_sink;
    g_sink = sink;
    return previous;
}

}  // namespace kvn
