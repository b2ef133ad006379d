#include "pki/pbe.h"

#include <cstring>

#include "crypto/cipher.h"
#include "crypto/digest.h"
#include "crypto/hmac.h"
#include "crypto/random.h"
#include "pki/trace.h"

namespace kvn {
namespace {

enum class Kdf { Pbkdf1, Pkcs12, Pbkdf2 };
enum class Cipher { Des, Des3, Rc2, Aes };

// The PBES1 and PKCS#12 schemes.
struct SchemeRow {
    const char* name;
    Kdf kdf;
    unsigned hash;
    Cipher cipher;
    int keyLength;
    int rc2Bits;
};
constexpr SchemeRow kSchemes[] = {
    {"pbeWithMD2AndDES-CBC", Kdf::Pbkdf1, kHashMd2, Cipher::Des, 8, 0},
    {"pbeWithMD5AndDES-CBC", Kdf::Pbkdf1, kHashMd5, Cipher::Des, 8, 0},
    {"pbeWithSHA1AndDES-CBC", Kdf::Pbkdf1, kHashSha1, Cipher::Des, 8, 0},
    {"pbeWithMD2AndRC2-CBC", Kdf::Pbkdf1, kHashMd2, Cipher::Rc2, 8, 64},
    {"pbeWithMD5AndRC2-CBC", Kdf::Pbkdf1, kHashMd5, Cipher::Rc2, 8, 64},
    {"pbeWithSHA1AndRC2-CBC", Kdf::Pbkdf1, kHashSha1, Cipher::Rc2, 8, 64},
    {"pbeWithSHAAnd3-KeyTripleDES-CBC", Kdf::Pkcs12, kHashSha1, Cipher::Des3, 24, 0},
    {"pbeWithSHAAnd128BitRC2-CBC", Kdf::Pkcs12, kHashSha1, Cipher::Rc2, 16, 128},
    {"pbeWithSHAAnd40BitRC2-CBC", Kdf::Pkcs12, kHashSha1, Cipher::Rc2, 5, 40},
};

const SchemeRow* FindScheme(const char* name) {
    for (const SchemeRow& row : kSchemes) {
        if (std::strcmp(row.name, name) == 0) return &row;
    }
    return nullptr;
}

constexpr const char* kCipherNames[] = {"des-EDE3-CBC", "desCBC", "rc2CBC", "aes128-CBC", "aes192-CBC", "aes256-CBC"};

struct PrfRow {
    int id;
    const char* name;
};
constexpr PrfRow kPrfs[] = {{0, "hmacWithSHA1"}, {6, "hmacWithSHA224"}, {3, "hmacWithSHA256"},
                            {4, "hmacWithSHA384"}, {5, "hmacWithSHA512"}};

// The most work one key derivation from a file may take, by function: iterations times the
// digest outputs derived (each output block costs the whole iteration count). Each cap is
// about 0.8 s of the portable code on the machine that set them (0.3 to 0.8 s with the SHA
// extensions; bench/keyfile_cost_bench shows it), so that one file, with the
// retry of a mislabelled PRF, costs well under 2 s. Real key files ask for 2,048
// iterations; the caps leave room for today's recommendations (600,000 for
// HMAC-SHA-256, 210,000 for HMAC-SHA-512).
struct WorkCap {
    Kdf kdf;
    unsigned hash;
    std::uint64_t work;
};
constexpr WorkCap kWorkCaps[] = {
    {Kdf::Pbkdf1, kHashMd2, std::uint64_t{1} << 17},    {Kdf::Pbkdf1, kHashMd5, std::uint64_t{1} << 21},
    {Kdf::Pbkdf1, kHashSha1, std::uint64_t{1} << 21},   {Kdf::Pkcs12, kHashSha1, std::uint64_t{1} << 22},
    {Kdf::Pbkdf2, kHashSha1, std::uint64_t{1} << 21},   {Kdf::Pbkdf2, kHashSha224, std::uint64_t{1} << 20},
    {Kdf::Pbkdf2, kHashSha256, std::uint64_t{1} << 20}, {Kdf::Pbkdf2, kHashSha384, std::uint64_t{1} << 19},
    {Kdf::Pbkdf2, kHashSha512, std::uint64_t{1} << 19},
};

std::uint64_t Blocks(int bytes, unsigned hash) {
    const int digest = DigestLength(hash);
    return digest > 0 && bytes > 0 ? static_cast<std::uint64_t>((bytes + digest - 1) / digest) : 1;
}

// True when deriving `blocks` digest outputs with this function and iteration count stays
// within its cap (traced when it does not).
bool Affordable(Kdf kdf, unsigned hash, std::uint32_t iterations, std::uint64_t blocks) {
    for (const WorkCap& cap : kWorkCaps) {
        if (cap.kdf != kdf || cap.hash != hash) continue;
        if (std::uint64_t{iterations} * blocks <= cap.work) return true;
        asn_Trace("Iteration count %u too costly for the key derivation", static_cast<unsigned>(iterations));
        return false;
    }
    return false;
}

// The work of the PBES1 and PKCS#12 schemes: PBKDF1 derives key and IV from one digest;
// the PKCS#12 derivation makes the key's blocks and the IV's separately.
std::uint64_t Pbes1Blocks(const SchemeRow& row) {
    return row.kdf == Kdf::Pkcs12 ? Blocks(row.keyLength, row.hash) + Blocks(8, row.hash) : 1;
}

int DefaultKeyLength(int cipherId, int rc2Bits) {
    switch (cipherId) {
        case kPbeDes3: return 24;
        case kPbeDes: return 8;
        case kPbeRc2: return rc2Bits / 8;
        case kPbeAes128: return 16;
        case kPbeAes192: return 24;
        default: return 32;
    }
}

bool RunCipher(Cipher cipher, bool encrypt, const SecureBytes& in, SecureBytes& out, const std::uint8_t* key,
               int keyLength, int rc2Bits, const SecureBytes& iv) {
    const int n = static_cast<int>(in.size());
    const std::size_t ivNeeded = cipher == Cipher::Aes ? 16 : 8;
    if (iv.size() < ivNeeded) return false;
    Error rc = Error::BAD_PARAM_ERROR;
    switch (cipher) {
        case Cipher::Des:
            rc = encrypt ? DesCbcEncrypt(out, in.data(), n, key, iv.data())
                         : DesCbcDecrypt(out, in.data(), n, key, iv.data());
            break;
        case Cipher::Des3:
            rc = encrypt ? Des3CbcEncrypt(out, in.data(), n, key, iv.data())
                         : Des3CbcDecrypt(out, in.data(), n, key, iv.data());
            break;
        case Cipher::Rc2:
            rc = encrypt ? Rc2CbcEncrypt(out, in.data(), n, key, keyLength, rc2Bits, iv.data())
                         : Rc2CbcDecrypt(out, in.data(), n, key, keyLength, rc2Bits, iv.data());
            break;
        case Cipher::Aes:
            rc = encrypt ? AesCbcEncrypt(out, keyLength * 8, in.data(), n, key, iv.data())
                         : AesCbcDecrypt(out, keyLength * 8, in.data(), n, key, iv.data());
            break;
    }
    return !Failed(rc);
}

// PBKDF1 (RFC 8018 section 5.1): T = H(P || S), then T = H(T); key = T[0..8), IV = T[8..16).
bool Pbkdf1(const pbe_Params& p, unsigned hash, std::uint8_t key[8], SecureBytes& iv) {
    if (p.salt.size() != 8) {
        asn_Trace("Failed to extract PBE parameters");
        return false;
    }
    SecureBytes input(p.password);
    input.insert(input.end(), p.salt.begin(), p.salt.end());
    std::uint8_t t[kMaxDigestLen];
    int len = 0;
    bool ok = !Failed(DigestData(t, sizeof t, input.data(), static_cast<int>(input.size()), hash, len));
    for (std::uint32_t i = 1; ok && i < p.iterations; ++i) ok = !Failed(DigestData(t, sizeof t, t, len, hash, len));
    ok = ok && len >= 16;
    if (ok) {
        std::memcpy(key, t, 8);
        iv.assign(t + 8, t + 16);
    }
    ewipe(t, sizeof t);
    return ok;
}

Cipher PbesCipher(int id) {
    switch (id) {
        case kPbeDes: return Cipher::Des;
        case kPbeRc2: return Cipher::Rc2;
        case kPbeDes3: return Cipher::Des3;
        default: return Cipher::Aes;
    }
}

// The key length of a PBES2 operation, the file's or the cipher's default; 0 when it does
// not fit the cipher (checked before anything is derived).
int Pbes2KeyLength(const pbe_Params& p) {
    const int n = p.keyLength ? p.keyLength : DefaultKeyLength(p.cipherId, p.rc2Bits);
    switch (p.cipherId) {
        case kPbeDes3: return n == 24 ? n : 0;
        case kPbeDes: return n == 8 ? n : 0;
        case kPbeRc2: return n >= 1 && n <= 128 ? n : 0;
        case kPbeAes128: return n == 16 ? n : 0;
        case kPbeAes192: return n == 24 ? n : 0;
        case kPbeAes256: return n == 32 ? n : 0;
        default: return 0;
    }
}

// Runs one PBES2 operation with the given PRF; the key length fits the cipher.
bool Pbes2(const pbe_Params& p, int prfId, bool encrypt, const SecureBytes& in, SecureBytes& out) {
    const int keyLength = Pbes2KeyLength(p);
    if (keyLength == 0) return false;
    SecureBytes key(static_cast<std::size_t>(keyLength));
    static const std::uint8_t kNothing[1] = {0};
    const std::uint8_t* password = p.password.empty() ? kNothing : p.password.data();
    const std::uint8_t* salt = p.salt.empty() ? kNothing : p.salt.data();
    if (Failed(Pbkdf2(key.data(), key.size(), password, p.password.size(), salt, p.salt.size(), p.iterations,
                      static_cast<unsigned>(prfId)))) {
        return false;
    }
    return RunCipher(PbesCipher(p.cipherId), encrypt, in, out, key.data(), keyLength, p.rc2Bits, p.iv);
}

// Decrypts with PBES2: the file's PRF, and when that fails, once more with hmacWithSHA1
// (files that name another PRF but were made with SHA-1). Each derivation must be
// affordable; the key length must fit the cipher before either runs.
bool Pbes2Decrypt(const pbe_Params& p, const SecureBytes& ciphertext, SecureBytes& plaintext) {
    const int keyLength = Pbes2KeyLength(p);
    if (keyLength == 0) {
        asn_Trace("Key length %d does not fit %s", p.keyLength, pbe_CipherName(p.cipherId));
        return false;
    }
    const auto prf = static_cast<unsigned>(p.prfId);
    if (!Affordable(Kdf::Pbkdf2, prf, p.iterations, Blocks(keyLength, prf))) return false;
    if (Pbes2(p, p.prfId, false, ciphertext, plaintext)) return true;
    return p.prfId != 0 && Affordable(Kdf::Pbkdf2, kHashSha1, p.iterations, Blocks(keyLength, kHashSha1)) &&
           Pbes2(p, 0, false, ciphertext, plaintext);
}

// Runs one PBES1 or PKCS#12 operation.
bool Pbes1(pbe_Params& p, const SchemeRow& row, bool encrypt, const SecureBytes& in, SecureBytes& out) {
    std::uint8_t key[24];
    bool ok;
    if (row.kdf == Kdf::Pbkdf1) {
        ok = Pbkdf1(p, row.hash, key, p.iv);
    } else {
        pbe_MakeBmpPassword(p);
        pbe_Pkcs12Kdf(key, static_cast<std::size_t>(row.keyLength), 1, p.password, p.salt, p.iterations);
        p.iv.assign(8, 0);
        pbe_Pkcs12Kdf(p.iv.data(), 8, 2, p.password, p.salt, p.iterations);
        ok = true;
    }
    ok = ok && RunCipher(row.cipher, encrypt, in, out, key, row.keyLength, row.rc2Bits, p.iv);
    ewipe(key, sizeof key);
    return ok;
}

// The n-th node with tag at level inside parent's subtree.
asn_Node* FindIn(asn_Node* parent, std::uint32_t tag, std::uint32_t level, int n = 1) {
    if (!parent) return nullptr;
    for (asn_Node* p = parent->next; p && p->level > parent->level; p = p->next) {
        if (p->tag == tag && p->level == level && --n == 0) return p;
    }
    return nullptr;
}

bool NameOf(asn_Node* oidNode, char* name) {
    oid_Record rec;
    if (Failed(asn_GetOid(oidNode, rec)) || !rec.name[0]) return false;
    std::memcpy(name, rec.name, sizeof rec.name);
    return true;
}

// The iteration count (what it may cost is checked once the function is known).
bool ReadIterations(asn_Node* node, pbe_Params& p) {
    if (!node || node->length > 4) return false;
    std::uint32_t n = asn_GetUint(node);
    p.iterations = n < 1 ? 1 : n;
    return true;
}

// RC2-CBC-Parameter version to effective key bits (RFC 8018 B.2.3); -1 when invalid.
int Rc2BitsOf(asn_Node* version) {
    if (!version) return 32;
    if (version->length > 4 || asn_HeldLength(version) != version->length) return -1;
    std::uint32_t v = asn_GetUint(version);
    if (version->length > 0 && (version->content[0] & 0x80) && v == 0xFFFFFFFFu >> (32 - 8 * version->length)) return 32;
    if (v == 160) return 40;
    if (v == 120) return 64;
    if (v == 58) return 128;
    if (v >= 256 && v <= 1024) return static_cast<int>(v);
    asn_Trace("Invalid ParameterVersion (%d)", static_cast<int>(v));
    return -1;
}

bool ReadPbes2Params(pbe_Params& p, asn_Node* params) {
    asn_Node* kdf = FindIn(params, kTagSequence, 3, 1);
    asn_Node* scheme = FindIn(params, kTagSequence, 3, 2);
    char name[kOidMaxName + 1];
    if (!kdf || !scheme || !NameOf(FindIn(kdf, kTagOid, 4), name) || std::strcmp(name, "pkcs5PBKDF2") != 0) {
        asn_Trace("Key derivation algorithm '%s' not supported", "pkcs5PBKDF2");
        return false;
    }
    asn_Node* kdfParams = FindIn(kdf, kTagSequence, 4);
    asn_Node* salt = FindIn(kdfParams, kTagOctetString, 5);
    if (!salt || !ReadIterations(FindIn(kdfParams, kTagInteger, 5, 1), p)) return false;
    p.salt.assign(salt->content, salt->content + asn_HeldLength(salt));
    asn_Node* keyLength = FindIn(kdfParams, kTagInteger, 5, 2);
    p.keyLength = keyLength && keyLength->length <= 2 ? static_cast<int>(asn_GetUint(keyLength)) : keyLength ? -1 : 0;
    if (p.keyLength < 0) return false;
    p.prfId = 0;
    if (asn_Node* prf = FindIn(kdfParams, kTagSequence, 5)) {
        p.prfId = -1;
        if (NameOf(FindIn(prf, kTagOid, 6), name)) {
            for (const PrfRow& row : kPrfs) {
                if (std::strcmp(row.name, name) == 0) p.prfId = row.id;
            }
        }
        if (p.prfId < 0) {
            asn_Trace("PRF algorithm not supported");
            return false;
        }
    }
    if (!NameOf(FindIn(scheme, kTagOid, 4), name)) return false;
    p.cipherId = -1;
    for (int i = 0; i < 6; ++i) {
        if (std::strcmp(kCipherNames[i], name) == 0) p.cipherId = i;
    }
    if (p.cipherId < 0) {
        asn_Trace("'%s' not supported", name);
        return false;
    }
    asn_Node* iv;
    if (p.cipherId == kPbeRc2) {
        iv = FindIn(scheme, kTagOctetString, 5);
        p.rc2Bits = Rc2BitsOf(FindIn(scheme, kTagInteger, 5));
        if (p.rc2Bits < 0) return false;
    } else {
        iv = FindIn(scheme, kTagOctetString, 4);
    }
    if (!iv) return false;
    p.iv.assign(iv->content, iv->content + asn_HeldLength(iv));
    return true;
}

// PrivateKeyInfo { 0, { rsaEncryption, .. }, OCTET STRING { RSAPrivateKey } } -> the key,
// and its list in rsaKey. DECRYPT_ERROR (traced) for anything else: a wrong password
// decrypts to bytes of no such shape.
Error ReadPrivateKeyInfo(rsa_Key& key, AsnList& rsaKey, const SecureBytes& plaintext) {
    static const asn_TemplateEntry kPrivateTemplate[] = {{16, 0}, {2, 1}, {2, 1}, {2, 1}, {2, 1}, {2, 1},
                                                         {2, 1},  {2, 1}, {2, 1}, {2, 1}, {0, -1}};
    rsaKey.reset();
    AsnList info;
    asn_Node* version = nullptr;
    if (!Failed(asn_ReadMemory(plaintext.data(), plaintext.size(), info))) version = asn_FindTag(info.get(), kTagInteger);
    if (!version || version->length != 1 || asn_GetUint(version) != 0) {
        asn_Trace("Wrong PrivateKeyInfo version");
        info.wipe_and_reset();
        return Error::DECRYPT_ERROR;
    }
    oid_Record rec;
    asn_Node* algorithm = asn_FindTag(version, kTagOid);
    if (Failed(asn_GetOid(algorithm, rec)) || !oid_NameIs(rec, "rsaEncryption")) {
        asn_Trace("Algorithm must be rsaEncryption");
        info.wipe_and_reset();
        return Error::DECRYPT_ERROR;
    }
    asn_Node* octets = asn_FindTag(algorithm, kTagOctetString);
    Error read = Error::BAD_FORMAT_ERROR;
    if (octets && octets->content) {
        AsnSource src = AsnSource::FromMemory(octets->content, octets->length);
        read = asn_ReadTemplate(src, kPrivateTemplate, rsaKey);
    }
    info.wipe_and_reset();
    if (Failed(read) || Failed(rsa_LoadPrivate(key, rsaKey.get()))) {
        asn_Trace("Not valid PrivateKeyInfo data");
        rsaKey.wipe_and_reset();
        return Error::DECRYPT_ERROR;
    }
    return kOk;
}

}  // namespace

void pbe_MakeBmpPassword(pbe_Params& p) {
    if (p.passwordIsBmp) return;
    SecureBytes bmp(2 * p.password.size() + 2, 0);
    for (std::size_t i = 0; i < p.password.size(); ++i) bmp[2 * i + 1] = p.password[i];
    p.password.swap(bmp);
    p.passwordIsBmp = true;
}

void pbe_Pkcs12Kdf(std::uint8_t* out, std::size_t n, int id, const SecureBytes& password, const SecureBytes& salt,
                   std::uint32_t iterations) {
    constexpr std::size_t u = 20, v = 64;
    auto fill = [&](const SecureBytes& src) {
        SecureBytes block(src.empty() ? 0 : v * ((src.size() + v - 1) / v));
        for (std::size_t i = 0; i < block.size(); ++i) block[i] = src[i % src.size()];
        return block;
    };
    SecureBytes I = fill(salt);
    SecureBytes P = fill(password);
    I.insert(I.end(), P.begin(), P.end());
    std::uint8_t D[v], A[u], B[v];
    std::memset(D, id, v);
    if (iterations < 1) iterations = 1;
    for (std::size_t done = 0; done < n;) {
        Sha1Ctx ctx;
        Sha1Init(&ctx);
        Sha1Update(&ctx, D, v);
        Sha1Update(&ctx, I.data(), I.size());
        Sha1Final(A, &ctx);
        for (std::uint32_t r = 1; r < iterations; ++r) {
            Sha1Init(&ctx);
            Sha1Update(&ctx, A, u);
            Sha1Final(A, &ctx);
        }
        std::size_t take = n - done < u ? n - done : u;
        std::memcpy(out + done, A, take);
        done += take;
        if (done >= n) break;
        // I_j = (I_j + B + 1) mod 2^(8v) for each v-byte block of I.
        for (std::size_t i = 0; i < v; ++i) B[i] = A[i % u];
        for (std::size_t j = 0; j < I.size(); j += v) {
            unsigned carry = 1;
            for (std::size_t k = v; k-- > 0;) {
                carry += static_cast<unsigned>(I[j + k]) + B[k];
                I[j + k] = static_cast<std::uint8_t>(carry);
                carry >>= 8;
            }
        }
    }
    ewipe(A, sizeof A);
    ewipe(B, sizeof B);
}

Error pbe_Decrypt(AsnList& rsaKey, rsa_Key& key, pbe_Params& p, asn_Node* encrypted) {
    rsaKey.reset();
    asn_Node* algorithm = asn_FindTagLevel(encrypted, kTagSequence, 1);
    asn_Node* data = asn_FindTagLevel(encrypted, kTagOctetString, 1);
    if (!algorithm || !data || !asn_HeldLength(data) || !NameOf(asn_FindTagLevel(algorithm, kTagOid, 2), p.scheme)) {
        asn_Trace("Invalid EncryptedPrivateKeyInfo format");
        return Error::DECRYPT_ERROR;
    }
    SecureBytes ciphertext(data->content, data->content + data->length);
    SecureBytes plaintext;
    if (std::strcmp(p.scheme, "pkcs5PBES2") == 0) {
        if (!ReadPbes2Params(p, FindIn(algorithm, kTagSequence, 2))) {
            asn_Trace("PBES2 encryption scheme parameters invalid or not supported");
            return Error::DECRYPT_ERROR;
        }
        if (!Pbes2Decrypt(p, ciphertext, plaintext)) {
            asn_Trace("Decryption error");
            return Error::DECRYPT_ERROR;
        }
    } else {
        const SchemeRow* row = FindScheme(p.scheme);
        if (!row) {
            asn_Trace("Unsupported PBE algorithm: %s", p.scheme);
            return Error::DECRYPT_ERROR;
        }
        asn_Node* params = FindIn(algorithm, kTagSequence, 2);
        asn_Node* salt = FindIn(params, kTagOctetString, 3);
        if (!salt || !ReadIterations(FindIn(params, kTagInteger, 3), p)) {
            asn_Trace("Failed to extract PBE parameters");
            return Error::DECRYPT_ERROR;
        }
        p.salt.assign(salt->content, salt->content + asn_HeldLength(salt));
        if (!Affordable(row->kdf, row->hash, p.iterations, Pbes1Blocks(*row)) || !Pbes1(p, *row, false, ciphertext, plaintext)) {
            asn_Trace("Decryption error");
            return Error::DECRYPT_ERROR;
        }
    }
    return ReadPrivateKeyInfo(key, rsaKey, plaintext);
}

Error pbe_Encrypt(pbe_Params& p, const SecureBytes& plaintext, SecureBytes& ciphertext) {
    if (std::strcmp(p.scheme, "pkcs5PBES2") == 0) {
        // A fresh IV from the operating system, one cipher block long.
        p.iv.assign(p.cipherId >= kPbeAes128 ? 16 : 8, 0);
        if (Error rc = RandomBytes(p.iv.data(), p.iv.size()); Failed(rc)) return rc;
        return Pbes2(p, p.prfId, true, plaintext, ciphertext) ? kOk : Error::NOT_SUPPORTED_ERROR;
    }
    const SchemeRow* row = FindScheme(p.scheme);
    return row && Pbes1(p, *row, true, plaintext, ciphertext) ? kOk : Error::NOT_SUPPORTED_ERROR;
}

const char* pbe_CipherName(int cipherId) { return cipherId >= 0 && cipherId < 6 ? kCipherNames[cipherId] : ""; }

const char* pbe_PrfName(int prfId) {
    for (const PrfRow& row : kPrfs) {
        if (row.id == prfId) return row.name;
    }
    return "hmacWithSHA1";
}

}  // namespace kvn
