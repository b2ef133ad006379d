// Diagnostic trace of the PKI layer.
//
// The readers and builders of this layer report why they refused something through
// asn_Trace. By default the texts are discarded: nothing is shown to the caller and the
// last-error text is not touched; a failure reaches the caller only through return codes.
// Tests may install a sink to see the texts. A sink never changes any result.
#pragma once

namespace kvn {

using asn_TraceSink = void (*)(const char* text);

// Formats (printf style) and hands the text to the installed sink, if any.
void asn_Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Installs a sink (null restores the silent default); returns the previous one.
asn_TraceSink asn_SetTraceSink(asn_TraceSink sink) noexcept;

}  // namespace kvn
