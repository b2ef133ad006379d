// Linked into the module test programs: KVN_PORTABLE_CRYPTO=1 in the environment keeps
// every algorithm on its portable code for the whole run (CTest's crypto_portable and
// rsa_portable), before any test starts. The library itself never reads the variable.
#include <cstdlib>
#include <cstring>

#include "crypto/cpu.h"

namespace {

[[maybe_unused]] const bool kPortable = [] {
    const char* env = std::getenv("KVN_PORTABLE_CRYPTO");
    const bool portable = env && std::strcmp(env, "1") == 0;
    if (portable) kvn::cpu_UsePortableForTesting(true);
    return portable;
}();

}  // namespace
