// An internal function's answer in the shape of the exports' results: the value it hands
// back on success, the negated error code otherwise, so that one table column can list
// either.
#pragma once

#include "base/error.h"

namespace kvn_test {

inline int Answer(kvn::Error e, int value) { return kvn::Failed(e) ? kvn::ResultOf(e) : value; }

}  // namespace kvn_test
