// Owners of libcrypto's big numbers for the tests that check our arithmetic against it.
#pragma once

#include <openssl/bn.h>

#include <memory>

namespace kvntest {

struct BnFree {
    void operator()(BIGNUM* b) const { BN_free(b); }
};
using Bn = std::unique_ptr<BIGNUM, BnFree>;
struct CtxFree {
    void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using BnCtx = std::unique_ptr<BN_CTX, CtxFree>;

}  // namespace kvntest
