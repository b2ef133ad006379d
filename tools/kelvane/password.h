// Where the tool gets passwords. A password on the command line is visible to every user
// of the machine (ps, /proc), so the other sources come first.
#ifndef KELVANE_TOOL_PASSWORD_H
#define KELVANE_TOOL_PASSWORD_H

#include <string>

#include "cli.h"

namespace cli {

// A string that is overwritten with zeros when it is destroyed.
class Secret {
public:
    Secret() = default;
    explicit Secret(std::string s) : text_(std::move(s)) {}
    Secret(const Secret&) = delete;
    Secret& operator=(const Secret&) = delete;
    Secret(Secret&& other) noexcept : text_(std::move(other.text_)) { other.Wipe(); }
    Secret& operator=(Secret&& other) noexcept;
    ~Secret() { Wipe(); }
    const char* c_str() const { return text_.c_str(); }
    const std::string& str() const { return text_; }

private:
    void Wipe();
    std::string text_;
};

// The private key's password, from the first source that is present:
//   --password-file FILE  (first line of FILE; "-" reads standard input)
//   --password TEXT
//   the environment variable KELVANE_PASSWORD
//   a prompt without echo on the controlling terminal, when there is one.
// Returns false with *error set when there is no source or a source cannot be read.
bool ObtainKeyPassword(const Invocation& inv, const std::string& key_file, Secret* password,
                       std::string* error);

// The password protecting a PFX file: --pfx-password-file, --pfx-password or
// KELVANE_PFX_PASSWORD; empty when none is given (the key's password is then used).
bool ObtainPfxPassword(const Invocation& inv, Secret* password, std::string* error);

}  // namespace cli

#endif
