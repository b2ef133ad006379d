#include "pki/oid.h"

#include <gtest/gtest.h>
#include <openssl/objects.h>

#include <cstring>

#include "test_support.h"

namespace kvn {
namespace {

// Every entry's bytes agree with OpenSSL's DER of the same dotted identifier.
TEST(OidTable, EveryEntryEncodesAsOpenSslDoes) {
    ASSERT_EQ(oid_TableSize(), 101);
    for (int i = 0; i < oid_TableSize(); ++i) {
        ASN1_OBJECT* obj = OBJ_txt2obj(oid_EntryDotted(i), 1);
        ASSERT_NE(obj, nullptr) << oid_EntryDotted(i);
        oid_Record rec;
        ASSERT_EQ(oid_FromName(rec, oid_EntryName(i)), kOk) << oid_EntryName(i);
        const int n = rec.count;
        // A repeated name builds its first entry.
        if (i == 1 || i == 23) {
            ASN1_OBJECT_free(obj);
            continue;
        }
        ASSERT_EQ(n, static_cast<int>(OBJ_length(obj))) << oid_EntryName(i);
        EXPECT_EQ(std::memcmp(rec.bytes, OBJ_get0_data(obj), static_cast<std::size_t>(n)), 0) << oid_EntryName(i);
        ASN1_OBJECT_free(obj);
    }
}

TEST(OidTable, LookupsTakeTheFirstMatch) {
    oid_Record rec;
    ASSERT_EQ(oid_FromName(rec, "sha256"), kOk);
    ASSERT_EQ(rec.count, 9);
    EXPECT_EQ(std::vector<std::uint8_t>(rec.bytes, rec.bytes + 9), kvn_test::Hex("608648016503040201"));
    EXPECT_EQ(oid_FromName(rec, "SHA1"), Error::NO_MATCH_ERROR);
    EXPECT_EQ(rec.count, 0);

    ASSERT_EQ(oid_FromName(rec, "rsaEncryption"), kOk);
    ASSERT_EQ(rec.count, 9);
    EXPECT_EQ(rec.bytes[0], 0x2A);

    struct Case {
        const char* hex;
        Error result;
        const char* name;
    } cases[] = {
        {"550403", kOk, "commonName"},
        {"55042D", Error::NO_MATCH_ERROR, ""},   // the unique-identifier attribute is not in the table
        {"55080101", kOk, "rsaEncryption"},      // 2.5.8.1.1
        {"2B0E03021D", kOk, "sha1WithRSAEncryption"},
        {"", Error::NO_MATCH_ERROR, ""},
    };
    for (const Case& c : cases) {
        std::memset(&rec, 0, sizeof rec);
        auto bytes = kvn_test::Hex(c.hex);
        if (!bytes.empty()) std::memcpy(rec.bytes, bytes.data(), bytes.size());
        rec.count = static_cast<int>(bytes.size());
        EXPECT_EQ(oid_ToName(rec), c.result) << c.hex;
        EXPECT_STREQ(rec.name, c.name) << c.hex;
        EXPECT_EQ(oid_NameIs(rec, c.name), true);
    }
}

}  // namespace
}  // namespace kvn
