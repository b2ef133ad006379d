#include "base/lasterror.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kvn {
namespace {

// One text per thread: each caller's thread sees the messages of its own last call.
struct LastError {
    char text[kLastErrorMax + 1];
    std::size_t length;
};
thread_local LastError t_error = {{'\0'}, 0};

// Appends up to n bytes of s, keeping the text within the limit; returns false when
// something was cut.
bool Append(LastError& e, const char* s, std::size_t n) {
    std::size_t room = kLastErrorMax - e.length;
    bool fits = n <= room;
    std::size_t take = fits ? n : room;
    std::memcpy(e.text + e.length, s, take);
    e.length += take;
    e.text[e.length] = '\0';
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
    LastError& e = t_error;
    bool whole = static_cast<std::size_t>(n) <= kLastErrorMax;
    std::size_t len = whole ? static_cast<std::size_t>(n) : kLastErrorMax;
    if (e.length > 0) whole = Append(e, "; ", 2) && whole;
    whole = Append(e, message, len) && whole;
    if (!whole) std::memcpy(e.text + kLastErrorMax - 3, "...", 3);
}

void ClearLastError() noexcept {
    t_error.length = 0;
    t_error.text[0] = '\0';
}

const char* LastErrorText() noexcept { return t_error.text; }

std::size_t LastErrorLength() noexcept { return t_error.length; }

}  // namespace kvn
