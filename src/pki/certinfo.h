// Answers about a certificate that the exports hand out: the certificate number carried
// by the serial, and the taxpayer identifier and organisation name of the subject.
#pragma once

#include "base/error.h"
#include "base/memory.h"

namespace kvn {

// The certificate number: the serial's bytes (hex) read as text. Requires every byte to be
// printable ASCII, 0x20 to 0x7E (else BAD_FORMAT_ERROR: a zero byte anywhere included),
// copies the text cut to outlen characters and a NUL, and sets count to the length
// copied (the whole length when out is null or outlen < 1).
Error cert_NumberFromHex(char* out, int outlen, const String& hex, int& count);

enum class cert_Field { Rfc, OrganizationName };

// Picks a field out of a subject name text ("label=value;label=value..."):
//  - Rfc: the first word of the value labelled "2.5.4.45" or "uniqueIdentifier" (leading
//    "/" and spaces skipped; the word ends at "/" or a space);
//  - OrganizationName: the whole value labelled "O" or "organizationName".
// A value beginning with a single quote runs to the closing quote, a backslash escaping
// the next character. The answer is empty when no label matches.
void cert_SubjectField(String& answer, const String& subject, cert_Field field);

}  // namespace kvn
