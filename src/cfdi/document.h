// Document input: every document operation reads its XML from a file named by the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "base/file.h"

namespace kvn {

// Opens xmlFile for binary reading. On failure records
// "Cannot open file '%s'/No se puede abrir el archivo" and returns null (OPEN_ERROR).
FilePtr OpenDocument(const char* xmlFile);

// Classifies bytes as UTF-8: 0 not valid; 1 all ASCII (or empty); 2 the only non-ASCII
// sequences are two-byte ones with lead C2 or C3 (up to U+00FF); 3 otherwise.
int Utf8Check(const std::uint8_t* bytes, std::size_t n);

// Writes a copy of inputFile that begins with the UTF-8 byte-order mark: OPEN_ERROR,
// READ_ERROR, BAD_FORMAT_ERROR (not UTF-8) or WRITE_ERROR with its message recorded;
// outputFile may name inputFile.
Error FixBom(const char* outputFile, const char* inputFile);

}  // namespace kvn
