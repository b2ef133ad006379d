// Calls into the public C interface with the conventions every export shares: the
// two-call output buffer, the last-error text and the error table.
#ifndef KELVANE_TOOL_LIBRARY_H
#define KELVANE_TOOL_LIBRARY_H

#include <functional>
#include <string>

#include "cli.h"

namespace cli {

// The export behind an output-buffer call, with everything but (out, outlen) bound.
using BufferCall = std::function<int(char* out, int outlen)>;

// The export's text answer. One call with a buffer that holds most answers; a longer one
// is asked for again the usual way (the length with a null buffer, then a buffer of that
// size). A negative result becomes the outcome's code, with the message filled in.
Outcome CallForText(const BufferCall& call);

// Wraps a result that is 0 on success or a negated error code.
Outcome CallForStatus(int result);

// The library's last-error text (may be empty).
std::string LastErrorText();

// KVN_ErrorLookup's message for a code (either sign); empty for codes without a row.
std::string ErrorMessage(int code);

// Symbolic name of an error code (either sign), e.g. "SIGNATURE_ERROR"; "ERROR_<n>" for
// the cryptographic layer's codes that have no row.
std::string ErrorName(int code);

// Parses "22", "-22" or "SIGNATURE_ERROR"; false when it is neither.
bool ParseErrorCode(const std::string& text, int* code);

// Every code of the error table, in table order.
const std::vector<int>& AllErrorCodes();

}  // namespace cli

#endif
