#include "pki/asn1.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "pki/trace.h"
#include "test_support.h"

namespace kvn {
namespace {

using kvn_test::Hex;

// asn_ReadMemory's error alone, and the list it reads from bytes that must be readable.
Error ReadError(const void* bytes, std::size_t n) {
    AsnList list;
    Error e = asn_ReadMemory(bytes, n, list);
    EXPECT_EQ(static_cast<bool>(list), !Failed(e));
    return e;
}
AsnList ReadDer(const void* bytes, std::size_t n) {
    AsnList list;
    EXPECT_EQ(asn_ReadMemory(bytes, n, list), kOk);
    return list;
}

std::vector<std::uint8_t> Der(asn_Node* list) {
    SecureBytes out;
    if (Failed(asn_Encode(list, out))) return {};
    return std::vector<std::uint8_t>(out.begin(), out.end());
}

std::string g_trace;
void CaptureTrace(const char* text) { g_trace = text; }

struct TraceCapture {
    TraceCapture() {
        g_trace.clear();
        asn_SetTraceSink(CaptureTrace);
    }
    ~TraceCapture() { asn_SetTraceSink(nullptr); }
};

std::vector<std::uint8_t> Nested(int depth) {
    // depth SEQUENCEs around an empty one, definite lengths.
    std::vector<std::uint8_t> der = {0x30, 0x00};
    for (int i = 1; i < depth; ++i) {
        std::vector<std::uint8_t> outer = {0x30};
        std::size_t n = der.size();
        if (n < 128) {
            outer.push_back(static_cast<std::uint8_t>(n));
        } else if (n < 256) {
            outer.insert(outer.end(), {0x81, static_cast<std::uint8_t>(n)});
        } else {
            outer.insert(outer.end(), {0x82, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
        }
        outer.insert(outer.end(), der.begin(), der.end());
        der.swap(outer);
    }
    return der;
}

TEST(AsnRead, RefusesMalformedInput) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> der;
    } cases[] = {
        {"empty", {}},
        {"truncated content", Hex("3005020101")},
        {"truncated header", Hex("30")},
        {"five length octets", Hex("048500000000010041")},
        {"EOC at the top", Hex("0000")},
        {"indefinite never closed", Hex("3080020101")},
        {"tag number too long for the header store", Hex("1F8181818181810100")},
        {"child longer than its parent", Hex("3003020501")},
        {"content length above the maximum", Hex("04844000000041")},
        // X.690 8.1.5: end-of-contents closes only an indefinite-length element.
        {"EOC inside a definite SEQUENCE", Hex("30100000")},
        {"EOC inside a definite SEQUENCE inside an indefinite one", Hex("3080300200000000")},
        // A child must end inside its parent, even when the bytes after the parent exist.
        {"INTEGER running past its SEQUENCE", Hex("3002020501020304050500" "0000")},
        {"SEQUENCE running past its SEQUENCE", Hex("30023003020101")},
        {"indefinite child left open when its parent ends", Hex("30043080020101" "0000")},
        // Once read as a list whose encoding came out empty.
        {"SEQUENCE claiming more than it holds, closed by EOC", Hex("3084258080000000")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadError(c.der.data(), c.der.size()), Error::BAD_FORMAT_ERROR) << c.name;
    }
}

TEST(AsnRead, LimitsAndTraces) {
    TraceCapture trace;
    auto tooLong = Hex("04844000000041");
    EXPECT_EQ(ReadError(tooLong.data(), tooLong.size()), Error::BAD_FORMAT_ERROR);
    EXPECT_EQ(g_trace, "ASN.1 data error at offset 6: Length value exceeds max of 1073741823.");
    // The largest accepted length passes the check and fails only for want of bytes.
    auto largest = Hex("04843FFFFFFF41");
    EXPECT_EQ(ReadError(largest.data(), largest.size()), Error::BAD_FORMAT_ERROR);
    EXPECT_EQ(g_trace, "ASN.1 data error at offset 6: Attempt to read past EOF.");
    // Four length octets are readable.
    auto four = Hex("048400000001AA");
    EXPECT_EQ(ReadError(four.data(), four.size()), kOk);

    auto ok = Nested(200);
    AsnList deep = ReadDer(ok.data(), ok.size());
    ASSERT_TRUE(deep);
    asn_Node* last = deep.get();
    while (last->next) last = last->next;
    EXPECT_EQ(last->level, 199u);
    auto bad = Nested(201);
    EXPECT_EQ(ReadError(bad.data(), bad.size()), Error::BAD_FORMAT_ERROR);
    EXPECT_EQ(g_trace, "ASN.1 internal error: stack overflow");
}

TEST(AsnRead, IndefiniteLengthAndTrailingBytes) {
    // SEQUENCE (indefinite) { INTEGER 1, SEQUENCE { NULL }, EOC } followed by garbage.
    auto der = Hex("3080020101300205000000FFFF");
    AsnList list = ReadDer(der.data(), der.size());
    ASSERT_TRUE(list);
    EXPECT_EQ(list->indefinite, 1u);
    EXPECT_EQ(asn_Length(list.get()), 11u);  // the trailing bytes were not read
    EXPECT_EQ(Der(list.get()), Hex("3080020101300205000000"));
    asn_Node* eoc = list.get();
    while (eoc->next) eoc = eoc->next;
    EXPECT_EQ(eoc->tag, kTagEoc);
    EXPECT_EQ(eoc->level, 1u);
}

// A definite-length SEQUENCE of 629 MB closed by an end-of-contents is read, but its
// encoding would need bytes the list does not hold: it is refused, not allocated.
TEST(AsnRead, CertificateRoundTripsAndNavigates) {
    auto der = kvn_test::ReadFileBytes(kvn_test::Credential("test-csd-2048.cer"));
    ASSERT_FALSE(der.empty());
    AsnList cert = ReadDer(der.data(), der.size());
    ASSERT_TRUE(cert);
    EXPECT_EQ(Der(cert.get()), der);
    asn_Node* serial = asn_FindTagLevel(cert.get(), kTagInteger, 2);
    ASSERT_NE(serial, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(serial->content), serial->length), "30001000000300000124");
    EXPECT_EQ(asn_NthTagLevel(cert.get(), kTagSequence, 0, 2), cert.get());
    AsnList validity = asn_Extract(cert.get(), kTagSequence, 3, 2);
    ASSERT_TRUE(validity);
    EXPECT_EQ(validity->level, 0u);
    EXPECT_EQ(asn_NthAtLevel(validity.get(), 1, 1)->tag, kTagUtcTime);
    EXPECT_EQ(asn_Compare(cert.get(), cert.get()), 0);
    EXPECT_EQ(asn_Compare(validity.get(), cert.get()), -1);  // 30 1E ... sorts before 30 82 ...
    EXPECT_EQ(asn_Compare(nullptr, nullptr), 0);
    EXPECT_EQ(asn_Compare(nullptr, cert.get()), 1);
    EXPECT_EQ(asn_Compare(cert.get(), nullptr), -1);
}

TEST(AsnRead, FileReaderRestoresPosition) {
    kvn_test::ScratchDir dir;
    struct Case {
        const char* hex;
        bool ok;
    } cases[] = {
        {"3003020107AABB", true},
        {"3080020107310030800500000000000099", true},
        {"0403414243", false},   // not a SEQUENCE or SET
        {"30800201070000", true},
        {"308002010700", false},  // unbalanced
    };
    for (const Case& c : cases) {
        auto bytes = Hex(c.hex);
        std::string path = dir.File("x.der");
        std::FILE* f = std::fopen(path.c_str(), "w+b");
        ASSERT_NE(f, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), f);
        std::fseek(f, 0, SEEK_SET);
        AsnList list;
        EXPECT_EQ(asn_ReadFile(f, list), c.ok ? kOk : Error::BAD_FORMAT_ERROR) << c.hex;
        EXPECT_EQ(static_cast<bool>(list), c.ok) << c.hex;
        EXPECT_EQ(std::ftell(f), 0) << c.hex;
        std::fclose(f);
    }
}

TEST(AsnRead, Template) {
    static const asn_TemplateEntry kPair[] = {{16, 0}, {2, 1}, {2, 1}, {0, -1}};
    struct Case {
        const char* hex;
        bool ok;
    } cases[] = {
        {"3006020101020102", true},
        {"3080020101020102" "0000", true},
        {"3009020101020102020103", false},  // a third INTEGER
        {"3003020101", false},
        {"3006020101040102", false},
    };
    for (const Case& c : cases) {
        auto bytes = Hex(c.hex);
        AsnSource src = AsnSource::FromMemory(bytes.data(), bytes.size());
        AsnList list;
        EXPECT_EQ(asn_ReadTemplate(src, kPair, list), c.ok ? kOk : Error::BAD_FORMAT_ERROR) << c.hex;
        EXPECT_EQ(static_cast<bool>(list), c.ok) << c.hex;
    }
}

TEST(AsnValues, IntegersBitsOidsAndTimes) {
    EXPECT_EQ(Der(asn_NewInteger(Hex("000080").data(), 3).get()), Hex("02020080"));
    EXPECT_EQ(Der(asn_NewInteger(Hex("7F").data(), 1).get()), Hex("02017F"));
    EXPECT_EQ(Der(asn_NewInteger(nullptr, 0).get()), Hex("020100"));
    EXPECT_EQ(Der(asn_NewIntegerU32(0x80000000u).get()), Hex("02050080000000"));
    EXPECT_EQ(asn_GetUint(asn_NewIntegerU32(2048).get()), 2048u);

    auto bits = Hex("0303 06 FFFF");
    AsnList bitString = ReadDer(bits.data(), bits.size());
    SecureBytes value;
    ASSERT_EQ(asn_GetBits(bitString.get(), value), kOk);
    EXPECT_EQ(std::vector<std::uint8_t>(value.begin(), value.end()), Hex("FFC0"));

    struct OidCase {
        const char* hex;
        const char* text;
    } oids[] = {
        {"06092A864886F70D010101", "1.2.840.113549.1.1.1"},
        {"060155", "2.5"},
        {"060158", "2.8"},
        {"0603550403", "2.5.4.3"},
    };
    char text[64];
    for (const OidCase& c : oids) {
        auto der = Hex(c.hex);
        AsnList oid = ReadDer(der.data(), der.size());
        EXPECT_EQ(asn_GetOidText(oid.get(), text, sizeof text), kOk);
        EXPECT_STREQ(text, c.text);
    }
    std::vector<std::uint8_t> longOid = {0x06, 33};
    longOid.insert(longOid.end(), 33, 0x01);
    AsnList tooLong = ReadDer(longOid.data(), longOid.size());
    EXPECT_EQ(asn_GetOidText(tooLong.get(), text, sizeof text), Error::BAD_FORMAT_ERROR);
    oid_Record rec;
    EXPECT_EQ(asn_GetOid(tooLong.get(), rec), kOk);  // unknown, nothing copied
    EXPECT_STREQ(rec.name, "");

    struct TimeCase {
        const char* der;
        Error result;
        int year, mon, mday, hour, min, sec;
    } times[] = {
        {"170D3439313233313233353935395A", kOk, 149, 11, 31, 23, 59, 59},
        {"170D3530303130313030303030305A", kOk, 50, 0, 1, 0, 0, 0},
        {"180F32303530303130313030303030305A", kOk, 150, 0, 1, 0, 0, 0},
        {"170D3439313233313233353936305A", kOk, 150, 0, 1, 0, 0, 0},   // second 60 rolls over
        {"170D3030303232393234303030305A", kOk, 100, 2, 1, 0, 0, 0},   // hour 24 of 29 Feb 2000
        {"170531323334355A", Error::BAD_FORMAT_ERROR, 0, 0, 0, 0, 0, 0},                  // too short: not a time
        {"0401AA", Error::BAD_FORMAT_ERROR, 0, 0, 0, 0, 0, 0},
    };
    for (const TimeCase& c : times) {
        auto der = Hex(c.der);
        AsnList node = ReadDer(der.data(), der.size());
        ASSERT_TRUE(node) << c.der;
        std::tm tm;
        EXPECT_EQ(asn_GetTime(node.get(), tm), c.result) << c.der;
        if (c.result != kOk) continue;
        EXPECT_EQ(tm.tm_year, c.year) << c.der;
        EXPECT_EQ(tm.tm_mon, c.mon) << c.der;
        EXPECT_EQ(tm.tm_mday, c.mday) << c.der;
        EXPECT_EQ(tm.tm_hour, c.hour) << c.der;
        EXPECT_EQ(tm.tm_min, c.min) << c.der;
        EXPECT_EQ(tm.tm_sec, c.sec) << c.der;
    }
    std::tm tm;
    EXPECT_EQ(asn_GetTime(nullptr, tm), Error::BAD_PARAM_ERROR);
}

TEST(AsnBuild, NestsLinksAndEncodes) {
    // SEQUENCE { INTEGER 3, OCTET STRING { SEQUENCE { NULL } }, [0] { BMPString "ab" } }
    AsnList items = asn_NewIntegerU32(3);
    AsnList wrapped = asn_OctetWrap(asn_Sequence(asn_NewNull()));
    AsnList tagged = asn_ContextConstructed(0, asn_NewBmpString("ab"));
    ASSERT_TRUE(asn_LinkAll(items, wrapped, tagged));
    AsnList seq = asn_Sequence(std::move(items));
    ASSERT_TRUE(seq);
    EXPECT_EQ(Der(seq.get()), Hex("3011 020103 0404 30020500 A006 1E0400610062"));
    // Reading the encoding gives the same bytes back.
    auto der = Der(seq.get());
    AsnList back = ReadDer(der.data(), der.size());
    EXPECT_EQ(asn_Compare(back.get(), seq.get()), 0);

    TraceCapture trace;
    AsnList again = asn_NewNull();
    EXPECT_EQ(asn_Join(seq, again), nullptr);  // the header already has a length
    EXPECT_EQ(g_trace, "asn_Join: Illegal join");
    EXPECT_TRUE(again);                        // nothing consumed
    AsnList header = asn_NewNode(kAsnConstructed, kTagSequence);
    AsnList unset = asn_NewNode(kAsnConstructed, kTagSet);
    EXPECT_EQ(asn_Join(header, unset), nullptr);
    EXPECT_EQ(g_trace, "asn_Join: sub-length not set\n");
    EXPECT_EQ(asn_Length(unset.get()), 0u);
    EXPECT_EQ(asn_SetHeader(unset.get()), 0u);

    // A node that is linked behind another cannot be linked again.
    AsnList first = asn_NewNull();
    AsnList borrowed(seq->next);
    EXPECT_EQ(asn_Link(first, borrowed), nullptr);
    EXPECT_EQ(g_trace, "asn_Link: 2nd header is invalid\n");
    borrowed.release();
    EXPECT_EQ(Der(first.get()), Hex("0500"));

    // Long lengths take the minimal long form.
    std::vector<std::uint8_t> big(300, 0x41);
    AsnList octets = asn_NewOctets(big.data(), big.size());
    EXPECT_EQ(asn_SetHeader(octets.get()), 304u);
    EXPECT_EQ(std::vector<std::uint8_t>(octets->header, octets->header + 4), Hex("0482012C"));
}

}  // namespace
}  // namespace kvn
