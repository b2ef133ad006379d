// The frame every export runs in.
#pragma once

#include <new>

#include "base/lasterror.h"
#include "kelvane.h"

namespace kvn {

// Runs an export's body after emptying the last-error text. An allocation failure
// anywhere below becomes MEMORY_ERROR with the allocator's message recorded; owners
// have released what they held while the exception passed.
template <class Body>
int RunExport(Body&& body) noexcept {
    ClearLastError();
    try {
        return body();
    } catch (const std::bad_alloc& e) {
        RecordError("%s", e.what());
        return -MEMORY_ERROR;
    } catch (...) {
        return -MISC_ERROR;
    }
}

inline bool Missing(const char* s) { return s == nullptr || *s == '\0'; }

}  // namespace kvn
