// Document input: every document operation reads its XML from a file named by the caller.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/error.h"
#include "base/file.h"

namespace kvn {

// Opens xmlFile for binary reading. On failure records
// "Cannot open file '%s'/No se puede abrir el archivo" and returns null (OPEN_ERROR).
// Inside a DocumentTextScope that is on, xmlFile is the document's own text, read from
// memory as a stream (no file is made for it).
FilePtr OpenDocument(const char* xmlFile);

// For the length of an export called with KVN_OPT_XMLTEXT: every document argument the
// readers of this folder open on the calling thread is the document's text, not a file
// name. Scopes nest; each restores what it found. The state is the calling thread's and
// ends with the call, so no other call sees it.
class DocumentTextScope {
public:
    explicit DocumentTextScope(bool on) noexcept;
    ~DocumentTextScope();
    DocumentTextScope(const DocumentTextScope&) = delete;
    DocumentTextScope& operator=(const DocumentTextScope&) = delete;

private:
    bool saved_;
};

// For the length of one operation that reads a document more than once (signing reads
// its version, its pipe string and then copies it): the file xmlFile is read into memory
// once, and every OpenDocument of that same name on this thread reads the copy. All the
// passes then see the same bytes, however the file changes meanwhile, and it is opened
// once. A file that cannot be read whole, or is larger than kHeldDocumentMax, is not held:
// the passes open it as they would without the scope and report what they find. Inside a
// DocumentTextScope that is on the document is already in memory and nothing is held.
// Scopes nest; each restores what it found.
class HeldDocumentScope {
public:
    static constexpr std::size_t kHeldDocumentMax = std::size_t{64} << 20;

    explicit HeldDocumentScope(const char* xmlFile);
    ~HeldDocumentScope();
    HeldDocumentScope(const HeldDocumentScope&) = delete;
    HeldDocumentScope& operator=(const HeldDocumentScope&) = delete;

    // A stream over the copy when xmlFile is the held name; null otherwise.
    FilePtr OpenIfHeld(const char* xmlFile) const;

private:
    const char* name_ = nullptr;  // null when nothing is held
    Bytes bytes_;
    const HeldDocumentScope* saved_;
};

// True inside a DocumentTextScope that is on: document arguments are texts, with no
// folder of their own (a DTD or entity they name is looked for as the caller's path says).
bool DocumentIsText() noexcept;

// How messages name a document argument: the file name, or "(document text)" for a
// document given as its text.
const char* DocumentLabel(const char* xmlFile) noexcept;

// Classifies bytes as UTF-8: 0 not valid; 1 all ASCII (or empty); 2 the only non-ASCII
// sequences are two-byte ones with lead C2 or C3 (up to U+00FF); 3 otherwise.
int Utf8Check(const std::uint8_t* bytes, std::size_t n);

// Writes a copy of inputFile that begins with the UTF-8 byte-order mark: OPEN_ERROR,
// READ_ERROR, BAD_FORMAT_ERROR (not UTF-8) or WRITE_ERROR with its message recorded;
// outputFile may name inputFile.
Error FixBom(const char* outputFile, const char* inputFile);

}  // namespace kvn
