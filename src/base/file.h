// Files: RAII handles, temporary files and replace-on-success output.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "base/memory.h"

namespace kvn {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Opens a regular file for binary reading; null for a missing, unreadable or
// non-regular file (a directory, say).
FilePtr OpenForReading(const char* path);

// Reads a whole open stream into memory (via emalloc, so 1 GiB or more throws
// AllocError). Returns false on a read error.
bool ReadAll(std::FILE* f, Bytes& out);

// A temporary file in TMP, TEMP or the current directory, named prefix + ten random
// letters and digits, created exclusively with owner-only permission.
//  - Without a kept name the file is unlinked right after creation, so it vanishes when
//    the stream closes.
//  - With a kept name the file is removed when the TempFile is destroyed (after Close()
//    it may be reopened by name until then).
class TempFile {
public:
    // Returns null when no candidate directory allowed a file to be made; the caller
    // records "Cannot create a temporary file/..." and returns CREATE_ERROR.
    static UniquePtr<TempFile> Create(const char* prefix, bool keep_name);

    TempFile(std::FILE* stream, String name) : stream_(stream), name_(std::move(name)) {}
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    std::FILE* stream() const noexcept { return stream_.get(); }
    const char* name() const noexcept { return name_.c_str(); }  // "" when not kept
    void Close() noexcept { stream_.reset(); }

private:
    FilePtr stream_;
    String name_;
};

// The directory part of a path ("." when it has none).
String DirectoryOf(const char* path);

// Output that replaces its target only when complete: the bytes go to a new file in the
// target's directory, and Commit() flushes it and renames it over the target (keeping an
// existing target's permission bits). Destroyed before Commit(), it removes the new file
// and the target is left as it was. Write failures are remembered; Commit() then fails.
class ReplacingOutput {
public:
    // False when the new file cannot be created (missing or unwritable directory).
    bool Open(const char* target);
    bool Write(const void* data, std::size_t n);
    bool CopyFrom(std::FILE* source);  // the rest of source, from its current position
    bool Commit();
    const char* target() const noexcept { return target_.c_str(); }
    ~ReplacingOutput();

private:
    String target_;
    String temp_;
    FilePtr stream_;
    bool failed_ = false;
};

}  // namespace kvn
