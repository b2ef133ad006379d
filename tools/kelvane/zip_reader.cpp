#include "zip_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace cli {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054b50;      // end of central directory
constexpr std::uint32_t kEnd64Locator = 0x07064b50;      // ZIP64 end of central directory locator
constexpr std::uint32_t kEnd64Signature = 0x06064b50;    // ZIP64 end of central directory record
constexpr std::uint32_t kCentralSignature = 0x02014b50;  // central directory file header
constexpr std::uint32_t kLocalSignature = 0x04034b50;    // local file header
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kMaxComment = 0xFFFF;

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t U64(const unsigned char* p) { return U32(p) | static_cast<std::uint64_t>(U32(p + 4)) << 32; }

bool UnsafeName(const std::string& name) {
    if (name.empty() || name[0] == '/' || name[0] == '\\' || (name.size() > 1 && name[1] == ':')) return true;
    if (name.find('\0') != std::string::npos) return true;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos) end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2) return true;
        start = end + 1;
    }
    return false;
}

bool LooksLikeXml(const std::string& data) {
    size_t i = data.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < data.size() && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r' || data[i] == '\n')) ++i;
    return i < data.size() && data[i] == '<';
}

// Replaces the 0xFFFF.. fields of a central header by the ZIP64 extended information
// extra field (header 0x0001), whose values come in the order size, compressed size,
// offset, each present only when its field is saturated. False when the field is missing
// or short.
bool ApplyZip64(const unsigned char* extra, std::size_t n, ZipEntry* e) {
    const bool needSize = e->size == 0xFFFFFFFF, needCompressed = e->compressedSize == 0xFFFFFFFF,
               needOffset = e->localOffset == 0xFFFFFFFF;
    if (!needSize && !needCompressed && !needOffset) return true;
    for (std::size_t at = 0; at + 4 <= n;) {
        const std::uint16_t id = U16(extra + at), len = U16(extra + at + 2);
        if (at + 4 + len > n) return false;
        if (id == 0x0001) {
            const unsigned char* p = extra + at + 4;
            std::size_t left = len;
            auto take = [&](std::uint64_t* v) {
                if (left < 8) return false;
                *v = U64(p);
                p += 8;
                left -= 8;
                return true;
            };
            return (!needSize || take(&e->size)) && (!needCompressed || take(&e->compressedSize)) &&
                   (!needOffset || take(&e->localOffset));
        }
        at += 4 + static_cast<std::size_t>(len);
    }
    return false;
}

bool Inflate(const std::string& compressed, std::uint64_t size, std::string* out, std::string* reason) {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) {
        *reason = "damaged entry: the inflater could not start";
        return false;
    }
    out->assign(static_cast<size_t>(size) + 1, '\0');  // one byte more shows data past the declared size
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = static_cast<uInt>(compressed.size());
    z.next_out = reinterpret_cast<Bytef*>(out->data());
    z.avail_out = static_cast<uInt>(out->size());
    const int rc = inflate(&z, Z_FINISH);
    const std::uint64_t produced = z.total_out;
    inflateEnd(&z);
    if (rc != Z_STREAM_END || produced != size) {
        *reason = rc == Z_STREAM_END || rc == Z_BUF_ERROR
                      ? "damaged entry: its data do not match its declared size"
                      : std::string("damaged entry: ") + (z.msg ? z.msg : "the deflate data are corrupt");
        return false;
    }
    out->resize(static_cast<size_t>(size));
    return true;
}

}  // namespace

std::string ZipRefusal(const ZipEntry& e) {
    if (UnsafeName(e.name)) return "unsafe entry name (absolute, or with a '..' part)";
    if (e.flags & 0x1) return "encrypted entry";
    if (e.method != 0 && e.method != 8) return "unsupported compression method " + std::to_string(e.method);
    if (e.size > kZipMaxEntry)
        return "declared size " + std::to_string(e.size) + " is above the limit of " + std::to_string(kZipMaxEntry) +
               " bytes";
    // e.size is at most kZipMaxEntry here, so the product cannot overflow.
    if (e.size > kZipRatioFloor && e.compressedSize < e.size && e.size > kZipMaxRatio * e.compressedSize)
        return "declared size " + std::to_string(e.size) + " is far above its compressed size " +
               std::to_string(e.compressedSize) + " (a ZIP bomb)";
    return "";
}

ZipArchive::~ZipArchive() {
    if (fd_ >= 0) ::close(fd_);
}

bool ZipArchive::Open(const std::string& path, std::string* error) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = fd_ < 0 ? std::strerror(errno) : "not a regular file";
        return false;
    }
    size_ = static_cast<std::uint64_t>(st.st_size);
    return ReadDirectory(error);
}

bool ZipArchive::OpenBytes(std::string bytes, std::string* error) {
    memory_ = std::move(bytes);
    inMemory_ = true;
    size_ = memory_.size();
    return ReadDirectory(error);
}

bool ZipArchive::ReadAt(std::uint64_t offset, void* out, std::size_t n) const {
    if (offset > size_ || n > size_ - offset) return false;
    if (inMemory_) {
        std::memcpy(out, memory_.data() + offset, n);
        return true;
    }
    auto* p = static_cast<char*>(out);
    while (n > 0) {
        const ssize_t got = ::pread(fd_, p, n, static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        p += got;
        n -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

bool ZipArchive::ReadDirectory(std::string* error) {
    *error = "not a ZIP archive (no end of central directory record)";
    if (size_ < kEndSize) return false;
    // The end record sits in the last 22 + 65535 bytes; the last signature whose comment
    // length reaches exactly the end of the file is taken.
    const std::size_t tail = static_cast<std::size_t>(std::min<std::uint64_t>(size_, kEndSize + kMaxComment));
    std::string buf(tail, '\0');
    if (!ReadAt(size_ - tail, buf.data(), tail)) return false;
    const auto* b = reinterpret_cast<const unsigned char*>(buf.data());
    std::size_t end = std::string::npos;
    for (std::size_t i = tail - kEndSize + 1; i-- > 0;) {
        if (U32(b + i) == kEndSignature && i + kEndSize + U16(b + i + 20) == tail) {
            end = i;
            break;
        }
    }
    if (end == std::string::npos) return false;
    std::uint64_t count = U16(b + end + 10);
    std::uint64_t dirSize = U32(b + end + 12);
    std::uint64_t dirOffset = U32(b + end + 16);
    const std::uint64_t endOffset = size_ - tail + end;
    if (count == 0xFFFF || dirSize == 0xFFFFFFFF || dirOffset == 0xFFFFFFFF) {
        unsigned char loc[20], rec[56];
        if (endOffset < 20 || !ReadAt(endOffset - 20, loc, 20) || U32(loc) != kEnd64Locator ||
            !ReadAt(U64(loc + 8), rec, 56) || U32(rec) != kEnd64Signature) {
            *error = "damaged ZIP64 end of central directory";
            return false;
        }
        count = U64(rec + 32);
        dirSize = U64(rec + 40);
        dirOffset = U64(rec + 48);
    }
    if (dirOffset > size_ || dirSize > size_ - dirOffset || count > dirSize / kCentralSize) {
        *error = "damaged ZIP archive (its central directory lies outside the file)";
        return false;
    }
    std::string dir(static_cast<size_t>(dirSize), '\0');
    if (!ReadAt(dirOffset, dir.data(), dir.size())) {
        *error = "cannot read the ZIP central directory";
        return false;
    }
    const auto* d = reinterpret_cast<const unsigned char*>(dir.data());
    std::size_t at = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        if (at + kCentralSize > dir.size() || U32(d + at) != kCentralSignature) {
            *error = "damaged ZIP central directory (entry " + std::to_string(i + 1) + ")";
            return false;
        }
        const std::size_t nameLen = U16(d + at + 28), extraLen = U16(d + at + 30), commentLen = U16(d + at + 32);
        if (at + kCentralSize + nameLen + extraLen + commentLen > dir.size()) {
            *error = "damaged ZIP central directory (entry " + std::to_string(i + 1) + ")";
            return false;
        }
        ZipEntry e;
        e.flags = U16(d + at + 8);
        e.method = U16(d + at + 10);
        e.crc = U32(d + at + 16);
        e.compressedSize = U32(d + at + 20);
        e.size = U32(d + at + 24);
        e.localOffset = U32(d + at + 42);
        e.name.assign(reinterpret_cast<const char*>(d + at + kCentralSize), nameLen);
        if (!ApplyZip64(d + at + kCentralSize + nameLen, extraLen, &e)) {
            *error = "damaged ZIP64 sizes of entry '" + e.name + "'";
            return false;
        }
        at += kCentralSize + nameLen + extraLen + commentLen;
        if (!e.name.empty() && e.name.back() == '/') continue;
        entries_.push_back(std::move(e));
    }
    error->clear();
    return true;
}

bool ZipArchive::Read(const ZipEntry& e, std::string* data, std::string* reason) const {
    *reason = ZipRefusal(e);
    if (!reason->empty()) return false;
    unsigned char local[kLocalSize];
    if (!ReadAt(e.localOffset, local, kLocalSize) || U32(local) != kLocalSignature) {
        *reason = "damaged entry: no local header where the central directory says";
        return false;
    }
    const std::uint64_t start = e.localOffset + kLocalSize + U16(local + 26) + U16(local + 28);
    if (start > size_ || e.compressedSize > size_ - start) {
        *reason = "damaged entry: its data run past the end of the archive";
        return false;
    }
    std::string stored(static_cast<size_t>(e.compressedSize), '\0');
    if (!ReadAt(start, stored.data(), stored.size())) {
        *reason = "damaged entry: its data cannot be read";
        return false;
    }
    if (e.method == 0) {
        if (e.compressedSize != e.size) {
            *reason = "damaged entry: its data do not match its declared size";
            return false;
        }
        *data = std::move(stored);
    } else if (!Inflate(stored, e.size, data, reason)) {
        return false;
    }
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(data->data()), static_cast<uInt>(data->size()));
    if (static_cast<std::uint32_t>(crc) != e.crc) {
        *reason = "damaged entry: CRC-32 mismatch";
        return false;
    }
    if (!LooksLikeXml(*data)) {
        *reason = "not an XML document";
        return false;
    }
    return true;
}

}  // namespace cli
