// Reading ZIP archives (APPNOTE 6.3: the end of central directory record, its ZIP64
// form, the central directory and the local headers) for the commands that read invoices
// in bulk. Entries are read straight into memory, stored or deflated (zlib's raw inflate),
// never through a temporary file.
//
// Every offset and length is checked against the archive's size before it is used, and
// entries are refused, each with its reason, by the rules the Python package applies too
// (python/kelvane/table.py): a name that is absolute or has a ".." part, an encrypted
// entry, a method other than stored or deflate, a declared size above kZipMaxEntry or
// above both kZipRatioFloor and kZipMaxRatio times its compressed size (a ZIP bomb), data
// that do not inflate to exactly the declared size with the declared CRC-32, and content
// that is not XML. Folders (names ending in '/') are skipped.
#ifndef KELVANE_TOOL_ZIP_READER_H
#define KELVANE_TOOL_ZIP_READER_H

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

inline constexpr std::uint64_t kZipMaxEntry = 64ull * 1024 * 1024;
inline constexpr std::uint64_t kZipRatioFloor = 1024 * 1024;
inline constexpr std::uint64_t kZipMaxRatio = 100;

struct ZipEntry {
    std::string name;            // as stored
    std::uint64_t localOffset;   // of its local header
    std::uint64_t compressedSize;
    std::uint64_t size;          // declared uncompressed size
    std::uint32_t crc;
    std::uint16_t method;
    std::uint16_t flags;
};

class ZipArchive {
public:
    ZipArchive() = default;
    ~ZipArchive();
    ZipArchive(const ZipArchive&) = delete;
    ZipArchive& operator=(const ZipArchive&) = delete;

    // Opens the archive and reads its central directory (folders left out). False with
    // *error when the file cannot be read or is not a ZIP archive.
    bool Open(const std::string& path, std::string* error);
    // The same over bytes in memory (kept by the archive); for tests and fuzzing.
    bool OpenBytes(std::string bytes, std::string* error);

    const std::vector<ZipEntry>& entries() const { return entries_; }

    // The entry's content, or false with the reason it is refused. Safe to call from
    // several threads at once.
    bool Read(const ZipEntry& entry, std::string* data, std::string* reason) const;

private:
    bool ReadAt(std::uint64_t offset, void* out, std::size_t n) const;
    bool ReadDirectory(std::string* error);

    int fd_ = -1;
    std::string memory_;
    bool inMemory_ = false;
    std::uint64_t size_ = 0;
    std::vector<ZipEntry> entries_;
};

// Why an entry is refused before it is read (its name, flags, method, sizes), or "".
std::string ZipRefusal(const ZipEntry& entry);

}  // namespace cli

#endif
