#include "base/lasterror.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kvn {
namespace {

// Process-wide, unlocked: the library serves one call at a time.
char g_text[kLastErrorMax + 1];
std::size_t g_length = 0;

// Appends up to n bytes of s, keeping the text within the limit; returns false when
// something was cut.
bool Append(const char* s, std::size_t n) {
    std::size_t room = kLastErrorMax - g_length;
    bool fits = n <= room;
    std::size_t take = fits ? n : room;
    std::memcpy(g_text + g_length, s, take);
    g_length += take;
    g_text[g_length] = '\0';
    return fits;
}

}  // namespace

void RecordError(const char* format, ...) {
    char message[kLastErrorMax + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(message, sizeof message, format, args);
    va_end(args);
    if (n < 0) return;
    bool whole = static_cast<std::size_t>(n) <= kLastErrorMax;
    std::size_t len = whole ? static_cast<std::size_t>(n) : kLastErrorMax;
    if (g_length > 0) whole = Append("; ", 2) && whole;
    whole = Append(message, len) && whole;
    if (!whole) std::memcpy(g_text + kLastErrorMax - 3, "...", 3);
}

void ClearLastError() noexcept {
    g_length = 0;
    g_text[0] = '\0';
}

const char* LastErrorText() noexcept { return g_text; }

std::size_t LastErrorLength() noexcept { return g_length; }

}  // namespace kvn
