#include "pki/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kvn {
namespace {
// Set only by tests; atomic so that a sink set while other threads trace is seen whole.
std::atomic<asn_TraceSink> g_sink{nullptr};
}

void asn_Trace(const char* format, ...) {
    asn_TraceSink sink = g_sink.load(std::memory_order_acquire);
    if (!sink) return;
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    sink(text);
}

asn_TraceSink asn_SetTraceSink(asn_TraceSink sink) noexcept {
    return g_sink.exchange(sink, std::memory_order_acq_rel);
}

}  // namespace kvn
