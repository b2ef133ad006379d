// One plain line under the library's message for the failures a newcomer meets most: the
// document is not signed, the key's password is wrong, the seal was made with another key,
// the document changed after it was sealed, and a file the system would not open (with
// the system's reason). The library's own message is always shown as it is, above it.
#ifndef KELVANE_TOOL_HINTS_H
#define KELVANE_TOOL_HINTS_H

#include <string>

#include "cli.h"

namespace cli {

// The files one call used, as given on the command line (empty when not used).
struct CallFiles {
    std::string input;
    std::string key;
    std::string cert;
    std::string output;
    bool stamp = false;  // the call worked on the stamp
};

// The line for a failed outcome, or "" when it is not one of the common cases.
std::string PlainHint(const Outcome& outcome, Role role, const CallFiles& files);

// outcome with its hint set (unchanged when it succeeded).
Outcome WithHint(Outcome outcome, Role role, const CallFiles& files);

}  // namespace cli

#endif
