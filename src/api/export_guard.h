// The frame every export runs in.
#pragma once

#include <new>
#include <type_traits>

#include "base/error.h"
#include "base/lasterror.h"
#include "kelvane.h"

namespace kvn {

// Runs an export's body after emptying the last-error text. A body answering an Error
// gets its C result here (kOk is 0); a body answering an int gives that int. An
// allocation failure anywhere below becomes MEMORY_ERROR with the allocator's message
// recorded; owners have released what they held while the exception passed.
template <class Body>
int RunExport(Body&& body) noexcept {
    ClearLastError();
    try {
        if constexpr (std::is_same_v<decltype(body()), Error>)
            return ResultOf(body());
        else
            return body();
    } catch (const std::bad_alloc& e) {
        RecordError("%s", e.what());
        return -MEMORY_ERROR;
    } catch (...) {
        return -MISC_ERROR;
    }
}

// The C result of a body that answers a length or a count on success.
constexpr int LengthOrResult(Error e, int length) noexcept { return Failed(e) ? ResultOf(e) : length; }

inline bool Missing(const char* s) { return s == nullptr || *s == '\0'; }

}  // namespace kvn
