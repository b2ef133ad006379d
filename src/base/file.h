// Files: RAII handles, temporary files and replace-on-success output.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstring>
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

// Reads the whole of the regular file at path into out, with one open and no stream: false
// (out empty, nothing recorded) when it cannot be opened, is no regular file, is larger
// than limit bytes or cannot be read.
bool ReadWholeFile(const char* path, Bytes& out, std::size_t limit);

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

// Who may read a file the library creates.
enum class OutputAccess {
    kShared,     // as a plain create gives it: 0666 less the umask
    kOwnerOnly,  // 0600; an existing file loses its group and other bits (private keys)
};

// The one way the library writes a file for its caller. What happens depends on what the
// name is when Open() looks:
//  - nothing, or a regular file: the bytes go to a new file in the same directory and
//    Commit() flushes it to disk and renames it over the name, so the target changes only
//    when the output is complete. Where nothing has the name, the new file has no name of
//    its own (O_TMPFILE, where the file system has it) and Commit() links it in as the
//    target. An existing file keeps its permission bits, owner and
//    group (kOwnerOnly drops its group and other bits); a new one gets the bits of
//    `access`. Destroyed before Commit(), the output removes its new file.
//  - a symbolic link: the same, for the file the link finally points to (which need not
//    exist yet); the link itself stays.
//  - a character device or a FIFO: written in place as the bytes come (so /dev/stdout
//    and pipes work); Commit() flushes. Bytes written before a failure have gone out.
//  - anything else (a directory, a socket, a block device): Open() fails and records why.
// Write failures are remembered; Commit() then fails.
//
// LeaveFlushToCaller() drops the flush to disk before the rename: the replacement stays
// atomic for readers, but after a system crash the new file may be empty until the caller
// has synced its batch (one syncfs for many files instead of one fsync each).
class ReplacingOutput {
public:
    // False when the output cannot be opened: the target is of a refused kind (recorded),
    // its directory is missing or not writable, or a device cannot be opened.
    bool Open(const char* target, OutputAccess access = OutputAccess::kShared);
    bool Write(const void* data, std::size_t n) {
        // Writers hand over a document a few bytes at a time: the pieces are gathered here
        // and go to the stream a block at a time.
        if (n <= pending_.size() - pendingUsed_ && stream_ && !failed_) {
            if (n) std::memcpy(pending_.data() + pendingUsed_, data, n);  // data may be null when n is 0
            pendingUsed_ += n;
            return true;
        }
        return WriteSlow(data, n);
    }
    bool CopyFrom(std::FILE* source);  // the rest of source, from its current position
    // False when a write failed, the data cannot be flushed, or the new file cannot take
    // its place (an existing file's owner that cannot be kept is recorded).
    bool Commit();
    void LeaveFlushToCaller() noexcept { flushToDisk_ = false; }
    const char* target() const noexcept { return target_.c_str(); }  // the name as given
    ~ReplacingOutput();

private:
    bool OpenInPlace(const char* path);
    bool OpenReplacement(const String& path, bool absent);  // absent: nothing has the name
    bool WriteSlow(const void* data, std::size_t n);
    bool Drain();  // the gathered bytes to the stream

    static constexpr std::size_t kPendingBlock = 16384;

    String target_;
    String final_;  // the file that is replaced (target_ with its links followed)
    String temp_;   // the new file until Commit(); empty when writing in place
    FilePtr stream_;
    Bytes pending_;  // kPendingBlock bytes once writing starts; the first pendingUsed_ are
    std::size_t pendingUsed_ = 0;  // written and not yet handed to the stream
    OutputAccess access_ = OutputAccess::kShared;
    bool plainMode_ = false;  // the new file was created with a plain create's bits
    bool unnamed_ = false;    // the new file has no name until Commit()
    bool failed_ = false;
    bool flushToDisk_ = true;
};

}  // namespace kvn
