// The fuzz input as a file of its own (the readers take file names), and as text.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kvn_fuzz {

class InputFile {
public:
    InputFile(const std::uint8_t* data, std::size_t size, const char* tag = "pki") {
        const char* tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/kvn-fuzz-" + tag + "-" + std::to_string(::getpid());
        if (std::FILE* f = std::fopen(path_.c_str(), "wb")) {
            if (size) std::fwrite(data, 1, size, f);
            std::fclose(f);
        }
    }
    ~InputFile() { std::remove(path_.c_str()); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

// The input up to its first NUL.
inline std::string AsText(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    return text.substr(0, text.find('\0'));
}

// A property every input must keep; a broken one is a finding, like a crash.
#define KVN_FUZZ_CHECK(condition)                                                         \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                 \
        }                                                                                 \
    } while (0)

}  // namespace kvn_fuzz
