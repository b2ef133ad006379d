#include "base/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "base/lasterror.h"
#include "base/os_random.h"

namespace kvn {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kNameCharacters = 10;

// Appends ten characters of the alphabet drawn from the operating system's generator.
// Bytes of 248 and above are dropped so that each character has the same odds (248 is
// 4 x 62). False when no random bytes could be had (the reason is in the last-error text).
bool AppendRandomCharacters(String& name) {
    int needed = kNameCharacters;
    while (needed > 0) {
        std::uint8_t bytes[16];
        if (!ReadOsRandom(bytes, sizeof bytes)) return false;
        for (std::uint8_t b : bytes) {
            if (b >= 248 || needed == 0) continue;
            name += kAlphabet[b % 62];
            --needed;
        }
    }
    return true;
}

bool IsDirectory(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Tries ten names in dir, creating the file exclusively with the given permission bits
// (the process umask still applies); returns an open stream or null (with no_random set
// when the names could not be drawn).
std::FILE* CreateIn(const String& dir, const char* prefix, bool keep_name, String& name, mode_t mode,
                    bool& no_random) {
    no_random = false;
    for (int attempt = 0; attempt < 10; ++attempt) {
        name = dir;
        name += '/';
        name += prefix;
        if (!AppendRandomCharacters(name)) {
            name.clear();
            no_random = true;
            return nullptr;
        }
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
        if (fd < 0) {
            // The name is not ours: forget it, so that no owner ever removes it.
            name.clear();
            if (errno == EEXIST) continue;
            return nullptr;
        }
        if (!keep_name) ::unlink(name.c_str());
        std::FILE* f = ::fdopen(fd, "w+b");
        if (!f) {
            ::close(fd);
            if (keep_name) ::unlink(name.c_str());
            name.clear();
            return nullptr;
        }
        return f;
    }
    return nullptr;
}

// The permission bits a new file in dir gets from the mode 0666 that fopen would ask for,
// after the process umask and any default ACL: read off an empty probe file. Reading the
// umask itself would need umask(), which changes it for every thread for a moment.
bool NewFileMode(const String& dir, mode_t& mode) {
    String probe;
    bool no_random;
    FilePtr f(CreateIn(dir, ".kvn-mode-", false, probe, 0666, no_random));
    struct stat st;
    if (!f || ::fstat(::fileno(f.get()), &st) != 0) return false;
    mode = st.st_mode & 07777;
    return true;
}

}  // namespace

FilePtr OpenForReading(const char* path) {
    FilePtr f(std::fopen(path, "rb"));
    if (!f) return nullptr;
    struct stat st;
    if (::fstat(::fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return f;
}

bool ReadWholeFile(const char* path, Bytes& out, std::size_t limit) {
    out.clear();
    // Not blocking: a FIFO given as the name must not hold the call here.
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<std::uintmax_t>(st.st_size) <= limit;
    if (ok) {
        // One byte beyond the size sees a file that grew since fstat().
        out.resize(static_cast<std::size_t>(st.st_size) + 1);
        std::size_t got = 0;
        while (ok && got < out.size()) {
            const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
            if (n == 0) break;
            if (n < 0) {
                ok = errno == EINTR;
                continue;
            }
            got += static_cast<std::size_t>(n);
        }
        ok = ok && got <= static_cast<std::size_t>(st.st_size);  // grew: read by the stream instead
        out.resize(ok ? got : 0);
    }
    ::close(fd);
    if (!ok) out.clear();
    return ok;
}

bool ReadAll(std::FILE* f, Bytes& out) {
    if (std::fseek(f, 0, SEEK_END) != 0) return false;
    long size = std::ftell(f);
    if (size < 0 || std::fseek(f, 0, SEEK_SET) != 0) return false;
    out.resize(static_cast<std::size_t>(size));
    std::size_t got = size ? std::fread(out.data(), 1, out.size(), f) : 0;
    return got == out.size() && !std::ferror(f);
}

UniquePtr<TempFile> TempFile::Create(const char* prefix, bool keep_name) {
    if (!prefix || !*prefix) prefix = "tmp.";
    // The directories are used as named, however long: a shortened path could name another
    // directory. One that cannot hold a file is passed over; when none can, each one's
    // failure is recorded.
    String candidates[3];
    int count = 0;
    for (const char* var : {"TMP", "TEMP"}) {
        const char* value = std::getenv(var);
        if (value) candidates[count++] = String(value);
    }
    candidates[count++] = ".";
    // The record is made before any file, so nothing can fail between creating the file
    // and handing it to its owner.
    auto temp = MakeUnique<TempFile>(nullptr, String());
    bool tried[3] = {};
    for (int i = 0; i < count; ++i) {
        if (candidates[i].empty() || !IsDirectory(candidates[i].c_str())) continue;
        tried[i] = true;
        bool no_random;
        std::FILE* f = CreateIn(candidates[i], prefix, keep_name, temp->name_, 0600, no_random);
        if (no_random) return nullptr;  // the same in every directory; the reason is recorded
        if (!f) continue;
        temp->stream_.reset(f);
        if (!keep_name) temp->name_.clear();
        return temp;
    }
    for (int i = 0; i < count; ++i) {
        if (!candidates[i].empty() && !tried[i]) {
            RecordError("'%s' is not a directory for temporary files/No es un directorio para archivos temporales",
                        candidates[i].c_str());
        } else if (tried[i]) {
            RecordError("Cannot create a temporary file in '%s'/No se puede crear un archivo temporal en el directorio",
                        candidates[i].c_str());
        }
    }
    return nullptr;
}

TempFile::~TempFile() {
    stream_.reset();
    if (!name_.empty()) ::unlink(name_.c_str());
}

String DirectoryOf(const char* path) {
    const char* slash = std::strrchr(path, '/');
    if (!slash) return String(".");
    if (slash == path) return String("/");
    return String(path, static_cast<std::size_t>(slash - path));
}

namespace {

// Symbolic links followed before the name is given up (the kernel's own limit is 40).
constexpr int kMaxLinks = 40;

// The name with its symbolic links followed to the last one, as far as they lead: the
// result is a name that is not a link (or does not exist). A relative link is read from
// the link's directory. False for a loop of links or an unreadable link.
bool FollowLinks(const char* path, String& resolved) {
    resolved = path;
    for (int i = 0; i < kMaxLinks; ++i) {
        struct stat st;
        if (::lstat(resolved.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
        String link(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 255) + 1, '\0');
        const ssize_t n = ::readlink(resolved.c_str(), link.data(), link.size());
        if (n <= 0 || static_cast<std::size_t>(n) >= link.size()) return false;  // changed while read
        link.resize(static_cast<std::size_t>(n));
        if (link[0] == '/') {
            resolved = std::move(link);
        } else {
            String dir = DirectoryOf(resolved.c_str());
            resolved = std::move(dir);
            resolved += '/';
            resolved += link;
        }
    }
    return false;
}

// Whether a file made without a name can be given one: linkat() names it through its
// /proc/self/fd entry, which needs /proc (AT_EMPTY_PATH would need a privilege).
bool CanNameUnnamedFiles() {
    static const bool can = ::access("/proc/self/fd", X_OK) == 0;
    return can;
}

// A new file in dir that has no name yet (O_TMPFILE): nothing to clean up if it is never
// named, and making it does not lock the directory, so outputs made side by side in one
// directory do not wait for each other. -1 where the file system or the kernel cannot.
int CreateUnnamedIn(const String& dir, mode_t mode) {
#ifdef O_TMPFILE
    if (CanNameUnnamedFiles()) return ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
#endif
    (void)dir;
    (void)mode;
    return -1;
}

// Gives the unnamed file fd the name path; false (errno set) when it cannot, EEXIST when
// the name is taken.
bool NameUnnamed(int fd, const char* path) {
    char self[40];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0;
}

// Gives the unnamed file fd a fresh name in dir, kept in name.
bool NameUnnamedIn(int fd, const String& dir, String& name) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        name = dir;
        name += "/.kvn-";
        if (!AppendRandomCharacters(name)) break;
        if (NameUnnamed(fd, name.c_str())) return true;
        if (errno != EEXIST) break;
    }
    name.clear();
    return false;
}

}  // namespace

bool ReplacingOutput::Open(const char* target, OutputAccess access) {
    target_ = target;
    access_ = access;
    struct stat st;
    // A name that is nothing yet or a regular file is the file replaced. Any other kind is
    // looked at through its links: stat() follows every one, /proc's too, so /dev/stdout is
    // whatever standard output is.
    const bool named = ::lstat(target, &st) == 0;
    if (!named) return OpenReplacement(target_, errno == ENOENT);
    if (S_ISREG(st.st_mode)) return OpenReplacement(target_, false);
    if (S_ISLNK(st.st_mode) && ::stat(target, &st) != 0) st.st_mode = S_IFREG;  // a dangling link
    if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode)) return OpenInPlace(target);
    if (S_ISDIR(st.st_mode)) {
        RecordError("Output '%s' is a directory/La salida es un directorio", target);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        RecordError("Output '%s' is not a file, a character device or a pipe/"
                    "La salida no es un archivo, un dispositivo de caracteres ni una tuberia",
                    target);
        return false;
    }
    String path;
    if (!FollowLinks(target, path)) return false;
    return OpenReplacement(path, ::lstat(path.c_str(), &st) != 0 && errno == ENOENT);
}

bool ReplacingOutput::OpenInPlace(const char* path) {
    // No O_CREAT and no O_TRUNC: the name is a device or a pipe, and stays one.
    const int fd = ::open(path, O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    std::FILE* f = nullptr;
    if (::fstat(fd, &st) == 0 && (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode))) f = ::fdopen(fd, "wb");
    if (!f) {
        ::close(fd);
        return false;
    }
    stream_.reset(f);
    final_ = path;
    return true;
}

bool ReplacingOutput::OpenReplacement(const String& path, bool absent) {
    String name;
    bool no_random;
    // A file that replaces nothing is created with the bits a plain create gives (0666 less
    // the umask, or what a default ACL says), which is what it keeps: reading them off the
    // new file costs nothing, where a probe file costs a create and an unlink in the
    // directory. A replacement is made owner-only until Commit() gives it the old file's bits,
    // so a file that was private is never readable by others, even half written.
    plainMode_ = access_ == OutputAccess::kShared && absent;
    final_ = path;
    // A file that replaces nothing is made unnamed and named at Commit().
    if (plainMode_) {
        if (const int fd = CreateUnnamedIn(DirectoryOf(path.c_str()), 0666); fd >= 0) {
            if (std::FILE* f = ::fdopen(fd, "w+b")) {
                stream_.reset(f);
                unnamed_ = true;
                return true;
            }
            ::close(fd);
        }
    }
    std::FILE* f = CreateIn(DirectoryOf(path.c_str()), ".kvn-", true, name, plainMode_ ? 0666 : 0600, no_random);
    if (!f) return false;
    stream_.reset(f);
    temp_ = std::move(name);
    return true;
}

bool ReplacingOutput::WriteSlow(const void* data, std::size_t n) {
    if (!stream_ || failed_) return false;
    if (pending_.empty()) pending_.resize(kPendingBlock);
    if (n > kPendingBlock - pendingUsed_) {
        if (!Drain()) return false;
        if (n >= kPendingBlock) {
            if (std::fwrite(data, 1, n, stream_.get()) != n) failed_ = true;
            return !failed_;
        }
    }
    if (n) std::memcpy(pending_.data() + pendingUsed_, data, n);
    pendingUsed_ += n;
    return true;
}

bool ReplacingOutput::Drain() {
    if (pendingUsed_ && std::fwrite(pending_.data(), 1, pendingUsed_, stream_.get()) != pendingUsed_) failed_ = true;
    pendingUsed_ = 0;
    return !failed_;
}

bool ReplacingOutput::CopyFrom(std::FILE* source) {
    char buffer[16384];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, source)) > 0) {
        if (!Write(buffer, n)) return false;
    }
    if (std::ferror(source)) failed_ = true;
    return !failed_;
}

bool ReplacingOutput::Commit() {
    if (!stream_ || failed_ || !Drain()) return false;
    std::FILE* f = stream_.get();
    if (temp_.empty() && !unnamed_) {
        // In place: what is buffered goes out now (a full device refuses it here).
        const bool flushed = std::fflush(f) == 0;
        return std::fclose(stream_.release()) == 0 && flushed;
    }
    if (std::fflush(f) != 0 || (flushToDisk_ && ::fsync(::fileno(f)) != 0)) return false;
    const int fd = ::fileno(f);
    if (unnamed_) {
        // Named as the target when that is still free; otherwise it takes a temporary name
        // and replaces whatever has come to the target meanwhile, as a named output would.
        if (NameUnnamed(fd, final_.c_str())) {
            unnamed_ = false;
            return std::fclose(stream_.release()) == 0;
        }
        if (errno != EEXIST || !NameUnnamedIn(fd, DirectoryOf(final_.c_str()), temp_)) return false;
        unnamed_ = false;
    }
    struct stat st;
    mode_t mode;
    if (::lstat(final_.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) return false;  // replaced by something else meanwhile
        struct stat mine;
        if (::fstat(fd, &mine) != 0) return false;
        // Owner first: a change of owner clears the set-user-ID and set-group-ID bits.
        if ((st.st_uid != mine.st_uid || st.st_gid != mine.st_gid) && ::fchown(fd, st.st_uid, st.st_gid) != 0) {
            RecordError("Cannot keep the owner of '%s'/No se puede conservar el propietario del archivo",
                        target_.c_str());
            return false;
        }
        mode = st.st_mode & 07777;
        if (access_ == OutputAccess::kOwnerOnly) mode &= ~static_cast<mode_t>(077);
    } else if (access_ == OutputAccess::kOwnerOnly) {
        mode = 0600;
    } else if (plainMode_) {
        struct stat mine;
        if (::fstat(fd, &mine) != 0) return false;
        mode = mine.st_mode & 07777;
    } else if (!NewFileMode(DirectoryOf(final_.c_str()), mode)) {  // the old file went meanwhile
        return false;
    }
    if (::fchmod(fd, mode) != 0) return false;
    if (std::fclose(stream_.release()) != 0) return false;
    if (::rename(temp_.c_str(), final_.c_str()) != 0) return false;
    temp_.clear();
    return true;
}

ReplacingOutput::~ReplacingOutput() {
    stream_.reset();
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

}  // namespace kvn
