// The last-error text, one per thread: at most 4072 characters, messages joined by "; ".
// RecordError is its only writer; the exports clear it on entry (except the
// informational ones) and KVN_LastError reads it, each on the calling thread's text.
#pragma once

#include <cstddef>

namespace kvn {

inline constexpr std::size_t kLastErrorMax = 4072;

// Formats a message (printf style) and appends it to the last-error text, after "; "
// when the text is not empty. When the text would pass 4072 characters it is cut to
// 4072 and its last three characters become "...".
void RecordError(const char* format, ...) __attribute__((format(printf, 1, 2)));

void ClearLastError() noexcept;
const char* LastErrorText() noexcept;  // the calling thread's text; NUL-terminated, never null
std::size_t LastErrorLength() noexcept;

}  // namespace kvn
