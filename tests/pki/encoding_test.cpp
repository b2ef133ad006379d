#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "pki/base64.h"
#include "pki/charset.h"
#include "pki/pem.h"
#include "test_support.h"

namespace kvn {
namespace {

std::string Encode(const std::string& s, std::size_t capacity = 64) {
    char out[64];
    b64_Encode(out, capacity, reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
    return out;
}

std::string Decode(const char* text, std::size_t capacity = 64) {
    std::uint8_t out[64];
    int n = b64_Decode(out, capacity, text);
    return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(n));
}

TEST(Base64, EncodesAndDecodes) {
    EXPECT_EQ(Encode("abc"), "YWJj");
    EXPECT_EQ(Encode("ab"), "YWI=");
    EXPECT_EQ(Encode("a"), "YQ==");
    EXPECT_EQ(Encode(""), "");
    EXPECT_EQ(Encode("abc", 4), "");      // a group needs five places
    EXPECT_EQ(Encode("abcdef", 8), "YWJj");
    EXPECT_EQ(Decode("YW Jj\n"), "abc");
    EXPECT_EQ(Decode("YQ==YWJj"), "a");   // decoding stops at "="
    EXPECT_EQ(Decode("Y"), "");          // one leftover value is dropped
    EXPECT_EQ(Decode("YWJjYWJj", 5), "abc");
}

TEST(Hex, EncodesAndDecodes) {
    std::uint8_t out[8];
    EXPECT_EQ(hex_Decode(out, sizeof out, "0a:1B:c"), 2);
    EXPECT_EQ(out[0], 0x0A);
    EXPECT_EQ(out[1], 0x1B);
    char text[8];
    const std::uint8_t bytes[] = {0xAB, 0x01, 0xFF};
    EXPECT_EQ(hex_Encode(text, 6, bytes, 3), 4);  // two digits need three places
    EXPECT_STREQ(text, "AB01");
    hex_EncodeLower(text, bytes, 3);
    EXPECT_STREQ(text, "ab01ff");
}

TEST(Pem, FindsBodiesAndWritesBlocks) {
    struct Case {
        const char* text;
        const char* body;  // null: no body
    } cases[] = {
        {"-----BEGIN CERTIFICATE-----\r\nQUJD\r\n-----END CERTIFICATE-----\r\n", "QUJD\r\n"},
        {"-----BEGIN CERTIFCATE-----\nQUJD\n-----BEGIN OTHER-----\nRA==\n", "QUJD\n"},  // misspelt, no END
        {"junk before -----BEGIN X-----   QUJD-----END X-----", "QUJD"},
        {"-----BEGIN CERTIFICATE-----\nQUJD\n", nullptr},  // neither END nor another BEGIN
        {"-----BEGIN X-----QUJD-----END", nullptr},         // shorter than 31
    };
    for (const Case& c : cases) {
        std::size_t start, length;
        bool found = pem_FindBody(c.text, std::strlen(c.text), start, length);
        ASSERT_EQ(found, c.body != nullptr) << c.text;
        if (found) {
            EXPECT_EQ(std::string(c.text + start, length), c.body);
        }
    }
    EXPECT_TRUE(pem_IsPemString("-----BEGIN X-----\nQUJDRA==\n-----END X-----\n"));
    EXPECT_FALSE(pem_IsPemString(" -----BEGIN X-----\nQUJDRA==\n-----END X-----\n"));
    EXPECT_FALSE(pem_IsPemString("-----BEGIN X-----\n-----END X-----\n"));

    std::uint8_t data[100];
    for (int i = 0; i < 100; ++i) data[i] = static_cast<std::uint8_t>(i);
    SecureString text;
    ASSERT_TRUE(pem_Format(text, data, sizeof data, "PKCS12", 64, true));
    std::string s(text.data(), text.size());
    EXPECT_EQ(s.find("\r"), std::string::npos);
    // BEGIN line, 48 bytes per 64-character line, the last 4 bytes in 8, END line.
    std::vector<std::string> lines;
    for (std::size_t at = 0, nl; (nl = s.find('\n', at)) != std::string::npos; at = nl + 1) lines.push_back(s.substr(at, nl - at));
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "-----BEGIN PKCS12-----");
    EXPECT_EQ(lines[1].size(), 64u);
    EXPECT_EQ(lines[2].size(), 64u);
    EXPECT_EQ(lines[3], "YGFiYw==");
    EXPECT_EQ(lines[4], "-----END PKCS12-----");
    EXPECT_EQ(s.back(), '\n');
    ASSERT_TRUE(pem_Format(text, data, 3, "", 7, false));  // 7 rounds down to 4; CRLF
    EXPECT_EQ(std::string(text.data(), text.size()), "AAEC\r\n");
    EXPECT_FALSE(pem_Format(text, data, 0, "X", 64, true));
}

TEST(Pem, ReadsEveryFormOfACertificate) {
    kvn_test::ScratchDir dir;
    std::string der = kvn_test::Credential("test-csd-1024.cer");
    std::string pemFile = kvn_test::Credential("test-csd-1024.pem");
    auto derBytes = kvn_test::ReadFileBytes(der);
    auto pemBytes = kvn_test::ReadFileBytes(pemFile);
    std::string pemText(pemBytes.begin(), pemBytes.end());
    SecureString oneLine;
    b64_EncodeTo(oneLine, derBytes.data(), derBytes.size());
    std::string base64(oneLine.data(), oneLine.size());
    // Bare base64 in a file is not readable: only PEM or DER files are.
    std::string bare = dir.File("bare.txt");
    std::ofstream(bare) << base64;

    struct Case {
        std::string argument;
        bool ok;
    } cases[] = {
        {der, true},
        {pemFile, true},
        {pemText, true},
        {base64, true},
        {bare, false},
        {dir.path(), false},   // a directory
        {dir.File("missing.cer"), false},
        {"", false},
    };
    for (const Case& c : cases) {
        AsnList list;
        ASSERT_EQ(pki_ReadObject(list, c.argument.c_str(), 256) == kOk, c.ok) << c.argument.substr(0, 80);
        ASSERT_EQ(static_cast<bool>(list), c.ok);
        if (!c.ok) continue;
        SecureBytes out;
        ASSERT_EQ(asn_Encode(list.get(), out), kOk);
        EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.end()), derBytes);
    }
    // Base64 no longer than the minimum is tried as PEM, then as a file name.
    AsnList list;
    EXPECT_EQ(pki_ReadObject(list, base64.c_str(), base64.size()), Error::OPEN_ERROR);
    EXPECT_EQ(pki_ReadObject(list, base64.c_str(), base64.size() - 1), kOk);
}

TEST(Pem, ConvertsFilesInPlace) {
    kvn_test::ScratchDir dir;
    std::string path = dir.File("data.bin");
    std::ofstream(path, std::ios::binary) << "abcdef";
    EXPECT_EQ(pem_CopyAndConvert(dir.File("copy.txt").c_str(), path.c_str(), "", 64, kPemLfOnly), kOk);
    auto copy = kvn_test::ReadFileBytes(dir.File("copy.txt"));
    EXPECT_EQ(std::string(copy.begin(), copy.end()), "YWJjZGVm\n");
    EXPECT_EQ(pem_ConvertFile(path.c_str(), "X", 64, 0), kOk);
    auto converted = kvn_test::ReadFileBytes(path);
    EXPECT_EQ(std::string(converted.begin(), converted.end()), "-----BEGIN X-----\r\nYWJjZGVm\r\n-----END X-----\r\n");
    EXPECT_EQ(pem_CopyAndConvert(dir.File("no/such/dir/x").c_str(), path.c_str(), "", 64, 0), Error::CREATE_ERROR);
    EXPECT_EQ(pem_CopyAndConvert(dir.File("x").c_str(), dir.File("missing").c_str(), "", 64, 0), Error::OPEN_ERROR);
    EXPECT_EQ(pem_CopyAndConvert("", path.c_str(), "", 64, 0), Error::BAD_PARAM_ERROR);
}

TEST(Charset, Conversions) {
    char out[32];
    auto u8 = [](const char* s) { return reinterpret_cast<const std::uint8_t*>(s); };
    using Converter = Error (*)(char*, std::size_t, const std::uint8_t*, std::size_t, std::size_t&);
    constexpr Error kInvalid = Error::INVALID_DATA_ERROR, kOutside = Error::OUT_OF_RANGE_ERROR,
                    kLength = Error::BAD_LENGTH_ERROR;
    struct Case {
        const char* name;
        Converter fn;
        std::string in;
        Error result;
        std::string text;
    } cases[] = {
        {"utf8 to latin1", utf8_ToLatin1, "a\xC3\xB1\xC3\xA1", kOk, "a\xF1\xE1"},
        {"utf8 lead FE", utf8_ToLatin1, "a\xFE", kInvalid, ""},
        {"utf8 beyond latin1", utf8_ToLatin1, "\xC5\x81", kOutside, ""},
        {"utf8 three-byte", utf8_ToLatin1, "\xE2\x82\xAC", kOutside, ""},
        {"utf8 overlong", utf8_ToLatin1, "\xC1\x81", kInvalid, ""},
        {"utf8 bad continuation", utf8_ToLatin1, "\xC3" "a", kInvalid, ""},
        {"utf8 truncated", utf8_ToLatin1, "\xC3", kInvalid, ""},
        {"ucs2 to latin1", ucs2_ToLatin1, std::string("\0a\0\xF1", 4), kOk, "a\xF1"},
        {"ucs2 odd", ucs2_ToLatin1, std::string("\0a\0", 3), kLength, ""},
        {"ucs2 high byte", ucs2_ToLatin1, std::string("\x01" "a", 2), kOutside, ""},
        {"ucs4 to latin1", ucs4_ToLatin1, std::string("\0\0\0\xE9", 4), kOk, "\xE9"},
        {"ucs4 length", ucs4_ToLatin1, std::string("\0\0\0", 3), kLength, ""},
        {"ucs4 high", ucs4_ToLatin1, std::string("\0\x01\0a", 4), kOutside, ""},
        {"ucs2 to utf8", ucs2_ToUtf8, std::string("\0a\0\xF1\x20\xAC", 6), kOk, "a\xC3\xB1\xE2\x82\xAC"},
        {"ucs4 to utf8", ucs4_ToUtf8, std::string("\0\x01\xF6\x00\0\x11\0\0", 8), kOk, "\xF0\x9F\x98\x80"},
    };
    for (const Case& c : cases) {
        std::memset(out, 0, sizeof out);
        std::size_t written = 99, needed = 99;
        EXPECT_EQ(c.fn(out, sizeof out, u8(c.in.data()), c.in.size(), written), c.result) << c.name;
        EXPECT_EQ(c.fn(nullptr, 0, u8(c.in.data()), c.in.size(), needed), c.result) << c.name;
        if (c.result != kOk) continue;
        EXPECT_EQ(std::string(out, written), c.text) << c.name;
        EXPECT_EQ(needed, c.text.size()) << c.name;
    }
    // A character is stored only when it fits whole; the conversion to UTF-8 says what it needs.
    std::size_t produced = 0;
    EXPECT_EQ(ucs2_ToUtf8(out, 2, u8("\0a\0\xF1"), 4, produced), kOk);
    EXPECT_EQ(produced, 3u);
    EXPECT_EQ(out[0], 'a');
    String text;
    EXPECT_EQ(latin1_ToUtf8Text(text, "a\xF1\xE1"), kOk);
    EXPECT_EQ(text, "a\xC3\xB1\xC3\xA1");
    EXPECT_EQ(latin1_ToUtf8Text(text, ""), Error::BAD_PARAM_ERROR);
}

}  // namespace
}  // namespace kvn
