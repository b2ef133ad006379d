// Reference values from OpenSSL's libcrypto (test-only peer).
#pragma once

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/rsa.h>

#include <cstdint>
#include <string>
#include <vector>

#include "pki/rsa.h"

namespace kvn_test {

struct PeerKey {
    EVP_PKEY* pkey = nullptr;
    explicit PeerKey(const std::string& pemFile) {
        if (std::FILE* f = std::fopen(pemFile.c_str(), "r")) {
            pkey = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
            std::fclose(f);
        }
    }
    ~PeerKey() { EVP_PKEY_free(pkey); }
    PeerKey(const PeerKey&) = delete;
    PeerKey& operator=(const PeerKey&) = delete;

    std::vector<std::uint8_t> Part(const char* name) const {
        BIGNUM* bn = nullptr;
        std::vector<std::uint8_t> out;
        if (pkey && EVP_PKEY_get_bn_param(pkey, name, &bn) == 1) {
            out.resize(static_cast<std::size_t>(BN_num_bytes(bn)));
            BN_bn2bin(bn, out.data());
        }
        BN_free(bn);
        if (out.empty()) out.push_back(0);
        return out;
    }
    std::vector<std::uint8_t> Modulus() const { return Part(OSSL_PKEY_PARAM_RSA_N); }

    // Raw c^d mod n.
    std::vector<std::uint8_t> RawPrivate(const std::vector<std::uint8_t>& block) const {
        std::vector<std::uint8_t> out(block.size());
        std::size_t n = out.size();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(pkey, nullptr);
        bool ok = ctx && EVP_PKEY_decrypt_init(ctx) == 1 && EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_NO_PADDING) == 1 &&
                  EVP_PKEY_decrypt(ctx, out.data(), &n, block.data(), block.size()) == 1;
        EVP_PKEY_CTX_free(ctx);
        if (!ok) out.clear();
        return out;
    }

    // Our key record with all eight parts.
    kvn::RsaKeyPtr Record() const {
        static const char* const kNames[] = {OSSL_PKEY_PARAM_RSA_N, OSSL_PKEY_PARAM_RSA_E,
                                             OSSL_PKEY_PARAM_RSA_D, OSSL_PKEY_PARAM_RSA_FACTOR1,
                                             OSSL_PKEY_PARAM_RSA_FACTOR2, OSSL_PKEY_PARAM_RSA_EXPONENT1,
                                             OSSL_PKEY_PARAM_RSA_EXPONENT2, OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
        std::vector<std::uint8_t> parts[8];
        kvn::rsa_Bytes bytes[8];
        for (int i = 0; i < 8; ++i) {
            parts[i] = Part(kNames[i]);
            bytes[i] = {parts[i].data(), parts[i].size()};
        }
        kvn::RsaKeyPtr key = kvn::rsa_KeyNew();
        kvn::rsa_SetPrivateCrt(*key, bytes);
        return key;
    }
};

}  // namespace kvn_test
