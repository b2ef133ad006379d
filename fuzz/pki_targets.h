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
#include "input_file.h"
#include "pki/base64.h"
#include "pki/charset.h"
#include "pki/asn1.h"
#include "pki/keyfile.h"
#include "pki/pem.h"
#include "pki/x509.h"

namespace kvn_fuzz {

// asn_Read through every way in: memory, a file (DER or PEM), and text (base64 or PEM).
inline void FuzzAsn1(const std::uint8_t* data, std::size_t size) {
    kvn::AsnList list = kvn::asn_ReadMemory(data, size);
    if (list) {
        kvn::SecureBytes der;
        kvn::asn_Encode(list.get(), der);
        kvn::asn_Extract(list.get(), kvn::kTagSequence, 2, -1);
        for (kvn::asn_Node* n = list.get(); n; n = n->next) {
            char text[64];
            (void)kvn::asn_GetOidText(n, text, sizeof text);
            std::tm tm;
            (void)kvn::asn_GetTime(n, tm);
            kvn::asn_GetBits(n, der);
        }
    }
    InputFile file(data, size);
    kvn::pki_ReadObject(file.path(), 0);
    std::string text = AsText(data, size);
    kvn::pki_ReadObject(text.c_str(), 0);
}

inline void FuzzKeyFile(const std::uint8_t* data, std::size_t size) {
    InputFile file(data, size);
    kvn::SecureString key;
    kvn::key_ReadEncrypted(key, file.path(), "test-password");
    std::string text = AsText(data, size);
    if (kvn::pem_IsPemString(text.c_str())) kvn::key_ReadEncrypted(key, text.c_str(), "test-password");
}

inline void FuzzX509(const std::uint8_t* data, std::size_t size) {
    InputFile file(data, size);
    kvn::String out;
    (void)kvn::x509_GetBase64(out, file.path());
    (void)kvn::x509_GetSerial(out, file.path());
    (void)kvn::x509_GetName(out, file.path(), ";", kvn::kX509NameLatin1, true);
    (void)kvn::x509_GetName(out, file.path(), ";", 0, false);
    char time[21];
    (void)kvn::x509_GetTime(time, file.path(), 0);
    (void)kvn::x509_GetTime(time, file.path(), 1);
    kvn::SecureString key;
    (void)kvn::x509_GetPublicKeyString(key, file.path());
}

// Base64, hex and PEM over arbitrary text and bytes. Besides not crashing: the length
// queries agree with what the decoders write, encoding round-trips, and a PEM block made
// of the input gives the input back through pem_FindBody.
inline void FuzzPem(const std::uint8_t* data, std::size_t size) {
    const std::string text = AsText(data, size);
    // Decoders over the input as text.
    const int b64Need = kvn::b64_DecodeOut(nullptr, 0, text.c_str());
    KVN_FUZZ_CHECK(b64Need >= 0);
    std::vector<std::uint8_t> decoded(static_cast<std::size_t>(b64Need) + 1);
    KVN_FUZZ_CHECK(kvn::b64_DecodeOut(decoded.data(), b64Need, text.c_str()) == b64Need);
    const int hexNeed = kvn::hex_DecodeOut(nullptr, 0, text.c_str());
    KVN_FUZZ_CHECK(hexNeed >= 0 && static_cast<std::size_t>(hexNeed) <= text.size() / 2);
    std::vector<std::uint8_t> hexBytes(static_cast<std::size_t>(hexNeed) + 1);
    KVN_FUZZ_CHECK(kvn::hex_DecodeOut(hexBytes.data(), hexNeed, text.c_str()) == hexNeed);
    std::size_t start = 0, length = 0;
    if (kvn::pem_FindBody(text.data(), text.size(), start, length)) {
        KVN_FUZZ_CHECK(start + length <= text.size());
    }
    (void)kvn::pem_IsPemString(text.c_str());
    kvn::pki_ReadObject(text.c_str(), 0);

    // Encoders over the input as bytes, and back.
    if (size == 0) data = reinterpret_cast<const std::uint8_t*>("");
    const int n = static_cast<int>(size);
    const int b64Length = kvn::b64_EncodeOut(nullptr, 0, data, n);
    KVN_FUZZ_CHECK(b64Length == 4 * ((n + 2) / 3));
    std::string b64(static_cast<std::size_t>(b64Length) + 1, '\0');
    KVN_FUZZ_CHECK(kvn::b64_EncodeOut(b64.data(), b64Length, data, n) == b64Length);
    kvn::SecureBytes back;
    kvn::b64_DecodeTo(back, b64.c_str());
    KVN_FUZZ_CHECK(back.size() == size && (size == 0 || std::memcmp(back.data(), data, size) == 0));
    std::string hex(2 * size + 1, '\0');
    KVN_FUZZ_CHECK(kvn::hex_EncodeOut(hex.data(), 2 * n, data, n) == 2 * n);
    std::vector<std::uint8_t> hexBack(size + 1);
    KVN_FUZZ_CHECK(kvn::hex_DecodeOut(hexBack.data(), n, hex.c_str()) == n);
    KVN_FUZZ_CHECK(size == 0 || std::memcmp(hexBack.data(), data, size) == 0);
    const int lineLength = size ? data[0] % 80 : 64;
    kvn::SecureString pem;
    if (kvn::pem_Format(pem, data, size, "CERTIFICATE", lineLength, size % 2 == 0)) {
        KVN_FUZZ_CHECK(kvn::pem_FindBody(pem.data(), pem.size(), start, length));
        const std::string body(pem.data() + start, length);
        kvn::b64_DecodeTo(back, body.c_str());
        KVN_FUZZ_CHECK(back.size() == size && std::memcmp(back.data(), data, size) == 0);
    }

    // Character sets: the length query and the conversion agree (inputs short enough for
    // every result to fit the buffer).
    if (size > 256) return;
    char out[512];
    const auto agree = [&](auto convert) {
        const int need = convert(nullptr, 0);
        const int wrote = convert(out, sizeof out);
        KVN_FUZZ_CHECK(wrote == need);
    };
    agree([&](char* o, std::size_t c) { return kvn::utf8_ToLatin1(o, c, data, size); });
    agree([&](char* o, std::size_t c) { return kvn::ucs2_ToLatin1(o, c, data, size); });
    agree([&](char* o, std::size_t c) { return kvn::ucs4_ToLatin1(o, c, data, size); });
    agree([&](char* o, std::size_t c) { return kvn::latin1_ToUtf8(o, c, text.data(), text.size()); });
}

}  // namespace kvn_fuzz
