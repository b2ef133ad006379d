#include "base/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

namespace kvn {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr std::size_t kMaxDirLength = 260;

const auto g_loaded_at = std::chrono::steady_clock::now();
unsigned g_name_seed = 0;
bool g_name_seeded = false;

// Seeds the name counter once: milliseconds since load XOR (seconds since 1970 << 16).
unsigned NextNameSeed() {
    if (!g_name_seeded) {
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - g_loaded_at).count();
        auto secs = std::chrono::duration_cast<std::chrono::seconds>(
                        std::chrono::system_clock::now().time_since_epoch()).count();
        g_name_seed = static_cast<unsigned>(ms) ^ (static_cast<unsigned>(secs) << 16);
        g_name_seeded = true;
    }
    return g_name_seed++;
}

void AppendRandomCharacters(String& name, int count) {
    std::srand(NextNameSeed());
    for (int i = 0; i < count; ++i) name += kAlphabet[std::rand() % 62];
}

bool IsDirectory(const char* path) {
    struct stat st;
    return ::stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Tries ten names in dir; returns an open stream or null.
std::FILE* CreateIn(const String& dir, const char* prefix, bool keep_name, String& name) {
    for (int attempt = 0; attempt < 10; ++attempt) {
        name = dir;
        name += '/';
        name += prefix;
        AppendRandomCharacters(name, 10);
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, S_IRUSR | S_IWUSR);
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

}  // namespace

FilePtr OpenForReading(const char* path) {
    FilePtr f(std::fopen(path, "rb"));
    if (!f) return nullptr;
    struct stat st;
    if (::fstat(::fileno(f.get()), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
    return f;
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
    String candidates[3];
    int count = 0;
    for (const char* var : {"TMP", "TEMP"}) {
        const char* value = std::getenv(var);
        if (value) candidates[count++] = String(value, ::strnlen(value, kMaxDirLength));
    }
    candidates[count++] = ".";
    // The record is made before any file, so nothing can fail between creating the file
    // and handing it to its owner.
    auto temp = MakeUnique<TempFile>(nullptr, String());
    for (int i = 0; i < count; ++i) {
        if (candidates[i].empty() || !IsDirectory(candidates[i].c_str())) continue;
        std::FILE* f = CreateIn(candidates[i], prefix, keep_name, temp->name_);
        if (!f) continue;
        temp->stream_.reset(f);
        if (!keep_name) temp->name_.clear();
        return temp;
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

bool ReplacingOutput::Open(const char* target) {
    target_ = target;
    String dir = DirectoryOf(target);
    String name;
    std::FILE* f = CreateIn(dir, ".kvn-", true, name);
    if (!f) return false;
    stream_.reset(f);
    temp_ = std::move(name);
    return true;
}

bool ReplacingOutput::Write(const void* data, std::size_t n) {
    if (!stream_ || failed_) return false;
    if (n && std::fwrite(data, 1, n, stream_.get()) != n) failed_ = true;
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
    if (!stream_ || failed_) return false;
    std::FILE* f = stream_.get();
    if (std::fflush(f) != 0 || ::fsync(::fileno(f)) != 0) return false;
    struct stat st;
    mode_t mode;
    if (::stat(target_.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode_t mask = ::umask(0);
        ::umask(mask);
        mode = 0666 & ~mask;
    }
    if (::fchmod(::fileno(f), mode) != 0) return false;
    if (std::fclose(stream_.release()) != 0) return false;
    if (::rename(temp_.c_str(), target_.c_str()) != 0) return false;
    temp_.clear();
    return true;
}

ReplacingOutput::~ReplacingOutput() {
    stream_.reset();
    if (!temp_.empty()) ::unlink(temp_.c_str());
}

}  // namespace kvn
