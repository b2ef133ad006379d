// PEM armour and the recogniser of certificate and key arguments.
//
// An argument that names a certificate may be bare base64 text, PEM text or a file name
// (DER or PEM inside); pki_ReadObject tries them in that order and reads one ASN.1
// element. PEM labels are never examined: any label is accepted.
#pragma once

#include <cstddef>
#include <cstdio>

#include "base/error.h"
#include "base/memory.h"
#include "pki/asn1.h"

namespace kvn {

// Option bit of the PEM writers: lines end with "\n" instead of "\r\n".
inline constexpr int kPemLfOnly = 0x20000;

// Finds the base64 body of the first PEM block in text[0..length): after the
// "-----BEGIN...-----" line and any whitespace, up to the next "-----END" or, failing
// that, the next "-----BEGIN". False when there is no body (also for text shorter than 31).
bool pem_FindBody(const char* text, std::size_t length, std::size_t& start, std::size_t& bodyLength);

// True for PEM text given in place of a file name: begins with "-", has at least 32
// characters, contains "-----BEGIN" and a non-empty body.
bool pem_IsPemString(const char* text);

// PEM block (or bare base64 lines when label is empty) of data: lines of lineLength
// characters (rounded down to a multiple of 4; 64 when below 4), each ended by "\n" when
// lfOnly, else "\r\n". False (out empty) for empty data.
bool pem_Format(SecureString& out, const std::uint8_t* data, std::size_t length, const char* label,
                int lineLength, bool lfOnly);
// Writes the same text to an open file. NO_DATA_ERROR for empty data, WRITE_ERROR when
// the text is not written whole, BAD_PARAM_ERROR without a file.
Error pem_Write(std::FILE* f, const std::uint8_t* data, std::size_t length, const char* label, int lineLength,
                bool lfOnly);

// Rewrites a binary file as PEM text (LF only when options carry kPemLfOnly). OPEN_ERROR
// when the file cannot be read, CREATE_ERROR when it cannot be rewritten, WRITE_ERROR when
// nothing or not all of it can be written, BAD_PARAM_ERROR for a missing name.
Error pem_ConvertFile(const char* fileName, const char* label, int lineLength, int options);
// Writes the PEM text of source's bytes to destination; destination is replaced only when
// complete. Errors as pem_ConvertFile's, for the source (OPEN_ERROR) and the destination.
Error pem_CopyAndConvert(const char* destination, const char* source, const char* label, int lineLength,
                       int options);

// Reads one element from a file into out: DER when its first byte is 0x30 (SEQUENCE), else
// the decoded body of the PEM text in it. OPEN_ERROR when the file cannot be opened;
// BAD_FORMAT_ERROR when it yields no element (out is then null).
Error pki_ReadFileObject(AsnList& out, const char* fileName);
// Reads one element from bare base64 text (longer than minimum characters, beginning with
// "M"), PEM text, or a file. BAD_PARAM_ERROR for an empty argument; else the file reader's
// error when none of them yields an element.
Error pki_ReadObject(AsnList& out, const char* argument, std::size_t minimum);

}  // namespace kvn
