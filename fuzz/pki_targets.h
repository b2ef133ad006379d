// One input through each reader of the PKI layer. Shared by the libFuzzer targets and the
// test that replays the inputs kept under fuzz/regressions/pki_*/.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "base/memory.h"
#include "crypto/digest.h"
#include "input_file.h"
#include "pki/base64.h"
#include "pki/certinfo.h"
#include "pki/charset.h"
#include "pki/asn1.h"
#include "pki/keyfile.h"
#include "pki/pem.h"
#include "pki/rsa.h"
#include "pki/x509.h"

namespace kvn_fuzz {

// asn_Read through every way in: memory, a file (DER or PEM), and text (base64 or PEM).
inline void FuzzAsn1(const std::uint8_t* data, std::size_t size) {
    kvn::AsnList list;
    if (!kvn::Failed(kvn::asn_ReadMemory(data, size, list))) {
        kvn::SecureBytes der;
        (void)kvn::asn_Encode(list.get(), der);
        kvn::asn_Extract(list.get(), kvn::kTagSequence, 2, -1);
        for (kvn::asn_Node* n = list.get(); n; n = n->next) {
            char text[64];
            (void)kvn::asn_GetOidText(n, text, sizeof text);
            std::tm tm;
            (void)kvn::asn_GetTime(n, tm);
            (void)kvn::asn_GetBits(n, der);
        }
    }
    InputFile file(data, size);
    kvn::AsnList read;
    (void)kvn::pki_ReadObject(read, file.path(), 0);
    std::string text = AsText(data, size);
    (void)kvn::pki_ReadObject(read, text.c_str(), 0);
}

// A block below any modulus of `bytes` bytes (00 01 ...), raised by the key's public or
// private operation, as verifying and signing do: a key that reads must also be one whose
// operations end quickly.
inline void RunKeyOperations(const kvn::rsa_Key& key) {
    const int bytes = kvn::rsa_KeyBytes(key);
    if (bytes < 2) return;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(bytes), 0xA5);
    block[0] = 0x00;
    block[1] = 0x01;
    if (key.flags & kvn::kRsaHasPrivate) (void)kvn::rsa_PrivateOp(key, block.data(), bytes);
    (void)kvn::rsa_PublicOp(key, block.data(), bytes);
}

inline void FuzzKeyFile(const std::uint8_t* data, std::size_t size) {
    InputFile file(data, size);
    kvn::SecureString key;
    (void)kvn::key_ReadEncrypted(key, file.path(), "test-password");
    std::string text = AsText(data, size);
    if (kvn::pem_IsPemString(text.c_str())) (void)kvn::key_ReadEncrypted(key, text.c_str(), "test-password");
    kvn::RsaKeyPtr record = kvn::rsa_KeyNew();
    kvn::Error stringError;
    if (!kvn::Failed(kvn::key_ReadPrivateKey(*record, stringError, file.path(), "test-password"))) {
        RunKeyOperations(*record);
    }
}

inline void FuzzX509(const std::uint8_t* data, std::size_t size) {
    InputFile file(data, size);
    kvn::String out;
    (void)kvn::x509_GetBase64(out, file.path());
    if (!kvn::Failed(kvn::x509_GetSerial(out, file.path()))) {
        // A certificate number is text: no zero byte cuts it short of the length answered.
        char number[256];
        int count = 0;
        if (!kvn::Failed(kvn::cert_NumberFromHex(number, 255, out, count))) {
            KVN_FUZZ_CHECK(std::strlen(number) == static_cast<std::size_t>(count));
        }
    }
    (void)kvn::x509_GetName(out, file.path(), ";", kvn::kX509NameLatin1, true);
    (void)kvn::x509_GetName(out, file.path(), ";", 0, false);
    char time[21];
    (void)kvn::x509_GetTime(time, file.path(), 0);
    (void)kvn::x509_GetTime(time, file.path(), 1);
    kvn::SecureString key;
    (void)kvn::x509_GetPublicKeyString(key, file.path());
    kvn::RsaKeyPtr record = kvn::rsa_KeyNew();
    if (!kvn::Failed(kvn::x509_GetPublicKey(*record, file.path()))) RunKeyOperations(*record);
}

// A PKCS#1 v1.5 signature block, the whole input. Whatever it decodes to is exactly one
// DigestInfo of a known hash (a digest of that hash's length), and encoding that digest
// again gives the block back byte for byte.
inline void FuzzSignatureBlock(const std::uint8_t* data, std::size_t size) {
    if (size > 1024) return;
    const int length = static_cast<int>(size);
    std::uint8_t digest[kvn::kMaxDigestLen];
    int digestLength = 0, hashId = 0;
    if (kvn::Failed(kvn::rsa_DecodeSignature(digest, sizeof digest, data, length, 0, digestLength))) return;
    KVN_FUZZ_CHECK(!kvn::Failed(kvn::rsa_DecodeSignature(nullptr, 0, data, length, kvn::kRsaSigHashIdOnly, hashId)));
    KVN_FUZZ_CHECK(digestLength == kvn::DigestLength(static_cast<unsigned>(hashId)));
    std::vector<std::uint8_t> again(size);
    KVN_FUZZ_CHECK(!kvn::Failed(kvn::rsa_EncodeSignature(again.data(), length, digest, digestLength,
                                                         kvn::kRsaSigBlockType1 | kvn::kRsaSigIsDigest | hashId)));
    KVN_FUZZ_CHECK(std::memcmp(again.data(), data, size) == 0);
}

// Base64, hex and PEM over arbitrary text and bytes. Besides not crashing: decoders stay
// within the sizes their callers allocate, encoding round-trips, a PEM block made of the
// input gives the input back through pem_FindBody, and the character-set conversions'
// length answers agree with what they write.
inline void FuzzPem(const std::uint8_t* data, std::size_t size) {
    const std::string text = AsText(data, size);
    // Decoders over the input as text, into buffers of the documented sizes.
    std::vector<std::uint8_t> decoded(3 * ((text.size() + 3) / 4) + 1);
    const int b64Count = kvn::b64_Decode(decoded.data(), decoded.size(), text.c_str());
    KVN_FUZZ_CHECK(b64Count >= 0 && static_cast<std::size_t>(b64Count) <= 3 * ((text.size() + 3) / 4));
    std::vector<std::uint8_t> hexBytes(text.size() / 2 + 1);
    const int hexCount = kvn::hex_Decode(hexBytes.data(), hexBytes.size(), text.c_str());
    KVN_FUZZ_CHECK(hexCount >= 0 && static_cast<std::size_t>(hexCount) <= text.size() / 2);
    std::size_t start = 0, length = 0;
    if (kvn::pem_FindBody(text.data(), text.size(), start, length)) {
        KVN_FUZZ_CHECK(start + length <= text.size());
    }
    (void)kvn::pem_IsPemString(text.c_str());
    kvn::AsnList list;
    (void)kvn::pki_ReadObject(list, text.c_str(), 0);

    // Encoders over the input as bytes, and back.
    if (size == 0) data = reinterpret_cast<const std::uint8_t*>("");
    kvn::SecureString b64;
    kvn::b64_EncodeTo(b64, data, size);
    KVN_FUZZ_CHECK(b64.size() == 4 * ((size + 2) / 3));
    kvn::SecureBytes back;
    kvn::b64_DecodeTo(back, b64.c_str());
    KVN_FUZZ_CHECK(back.size() == size && (size == 0 || std::memcmp(back.data(), data, size) == 0));
    std::string hex(2 * size + 1, '\0');
    KVN_FUZZ_CHECK(kvn::hex_Encode(hex.data(), hex.size(), data, size) == static_cast<int>(2 * size));
    std::vector<std::uint8_t> hexBack(size + 1);
    KVN_FUZZ_CHECK(kvn::hex_Decode(hexBack.data(), size, hex.c_str()) == static_cast<int>(size));
    KVN_FUZZ_CHECK(size == 0 || std::memcmp(hexBack.data(), data, size) == 0);
    const int lineLength = size ? data[0] % 80 : 64;
    kvn::SecureString pem;
    if (kvn::pem_Format(pem, data, size, "CERTIFICATE", lineLength, size % 2 == 0)) {
        KVN_FUZZ_CHECK(kvn::pem_FindBody(pem.data(), pem.size(), start, length));
        const std::string body(pem.data() + start, length);
        kvn::b64_DecodeTo(back, body.c_str());
        KVN_FUZZ_CHECK(back.size() == size && std::memcmp(back.data(), data, size) == 0);
    }

    // Character sets: the length answered without a buffer is what a buffer that holds it
    // receives (inputs short enough for every result to fit).
    if (size > 256) return;
    char out[512];
    using Converter = kvn::Error (*)(char*, std::size_t, const std::uint8_t*, std::size_t, std::size_t&);
    for (Converter convert : {Converter{kvn::utf8_ToLatin1}, Converter{kvn::ucs2_ToLatin1}, Converter{kvn::ucs4_ToLatin1},
                              Converter{kvn::ucs2_ToUtf8}, Converter{kvn::ucs4_ToUtf8}}) {
        std::size_t need = 0, wrote = 0;
        const kvn::Error sized = convert(nullptr, 0, data, size, need);
        KVN_FUZZ_CHECK(convert(out, sizeof out, data, size, wrote) == sized);
        KVN_FUZZ_CHECK(kvn::Failed(sized) || wrote == need);
    }
    std::size_t need = 0, wrote = 0;
    KVN_FUZZ_CHECK(!kvn::Failed(kvn::latin1_ToUtf8(nullptr, 0, text.data(), text.size(), need)));
    KVN_FUZZ_CHECK(!kvn::Failed(kvn::latin1_ToUtf8(out, sizeof out, text.data(), text.size(), wrote)) && wrote == need);
}

}  // namespace kvn_fuzz
