// Helpers shared by the command implementations, and their entry points.
#ifndef KELVANE_TOOL_COMMANDS_H
#define KELVANE_TOOL_COMMANDS_H

#include <optional>
#include <string>

#include "cli.h"

namespace cli {

// The option word built from --md5, --latin1, --stamp, --no-bom, --no-facets, --not-before.
int OptionBits(const Invocation& inv);

// Checks the number of positional arguments; prints a usage error and returns false if wrong.
bool ExpectArguments(const Invocation& inv, size_t min, size_t max, const char* what);

// The value of a required option; prints a usage error and returns false when it is missing.
bool RequireOption(const Invocation& inv, const char* name, std::string* value);

// An OPEN_ERROR outcome, with the library's message, for a file that cannot be opened for
// reading; nothing when it can. The library reads a missing document as a missing
// certificate where it falls back to the document's own: checking first reports it as
// what it is.
std::optional<Outcome> UnreadableInput(const std::string& path);
// The same for a certificate argument, unless it is the certificate itself (PEM text or
// one long base64 line) or empty.
std::optional<Outcome> UnreadableCertificate(const std::string& cert);

// Identity and diagnostics.
int RunInfo(const Invocation& inv);
int RunError(const Invocation& inv);
int RunFixBom(const Invocation& inv);

// Documents.
int RunDocVersion(const Invocation& inv);
int RunAttribute(const Invocation& inv);
int RunPipeString(const Invocation& inv);
int RunDigest(const Invocation& inv);
int RunSeal(const Invocation& inv);
int RunSign(const Invocation& inv);
int RunVerify(const Invocation& inv);
int RunExtractDigest(const Invocation& inv);
int RunValidate(const Invocation& inv);
int RunJson(const Invocation& inv);
int RunTable(const Invocation& inv);

// Certificates and keys.
int RunCert(const Invocation& inv);
int RunCheckKey(const Invocation& inv);
int RunKeyXml(const Invocation& inv);
int RunPfx(const Invocation& inv);

}  // namespace cli

#endif
