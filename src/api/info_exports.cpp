// Identity and diagnostics exports. None of them empties the last-error text.
#include <dlfcn.h>

#include <cstring>

#include "base/lasterror.h"
#include "base/outbuf.h"
#include "kelvane.h"

namespace {

// The library's identity text, fixed like the cryptographic layer's: callers compare it.
constexpr char kCompileTime[] = "Jan  3 2014 16:08:04";
constexpr char kPlatform[] = "Linux64";
constexpr char kPkiCompileTime[] = "Dec 13 2013 08:58:37";
constexpr char kPkiModuleName[] = "N/A";
constexpr int kVersion = 50202;
constexpr int kPkiVersion = 381;
constexpr std::size_t kMaxModulePath = 260;

// Path of the loaded shared object that holds this function.
const char* ModulePath() {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&KVN_ModuleName), &info) && info.dli_fname) return info.dli_fname;
    return "";
}

}  // namespace

extern "C" {

KVN_API int KVN_Version(void) { return kVersion; }

KVN_API int KVN_CompileTime(char* out, int outlen) {
    return kvn::AnswerText(out, outlen, kCompileTime);
}

KVN_API int KVN_ModuleName(char* out, int outlen, int options) {
    if (options == KVN_OPT_PLATFORM) {
        if (outlen < 1) return static_cast<int>(std::strlen(kPlatform));
        if (!out) return 0;
        return kvn::CopyOut(out, outlen, kPlatform, std::strlen(kPlatform));
    }
    const char* path = ModulePath();
    std::size_t n = ::strnlen(path, kMaxModulePath);
    if (!kvn::WantsLength(out, outlen)) kvn::CopyOut(out, outlen, path, n);
    return static_cast<int>(n);
}

KVN_API int KVN_PKIVersion(void) { return kPkiVersion; }

KVN_API int KVN_PKICompileTime(char* out, int outlen) {
    return kvn::AnswerText(out, outlen, kPkiCompileTime);
}

KVN_API int KVN_PKIModuleName(char* out, int outlen) {
    return kvn::AnswerText(out, outlen, kPkiModuleName);
}

KVN_API int KVN_LastError(char* out, int outlen) {
    return kvn::AnswerText(out, outlen, kvn::LastErrorText(), kvn::LastErrorLength());
}

}  // extern "C"
