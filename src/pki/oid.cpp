#include "pki/oid.h"

#include <cstdlib>
#include <cstring>

#include "pki/trace.h"

namespace kvn {
namespace {

struct oid_Entry {
    const char* name;
    const char* dotted;  // encoded to DER content octets (X.690 8.19) on lookup
};

// The order matters: lookups take the first match.
constexpr oid_Entry kTable[] = {
    {"rsaEncryption", "1.2.840.113549.1.1.1"},
    {"rsaEncryption", "2.5.8.1.1"},
    {"pbeWithMD2AndDES-CBC", "1.2.840.113549.1.5.1"},
    {"pbeWithMD5AndDES-CBC", "1.2.840.113549.1.5.3"},
    {"pbeWithSHA1AndDES-CBC", "1.2.840.113549.1.5.10"},
    {"pbeWithMD2AndRC2-CBC", "1.2.840.113549.1.5.4"},
    {"pbeWithMD5AndRC2-CBC", "1.2.840.113549.1.5.6"},
    {"pbeWithSHA1AndRC2-CBC", "1.2.840.113549.1.5.11"},
    {"pbeWithSHAAnd3-KeyTripleDES-CBC", "1.2.840.113549.1.12.1.3"},
    {"pbeWithSHAAnd128BitRC2-CBC", "1.2.840.113549.1.12.1.5"},
    {"pbeWithSHAAnd40BitRC2-CBC", "1.2.840.113549.1.12.1.6"},
    {"pkcs-12-pkcs-8ShroudedKeyBag", "1.2.840.113549.1.12.10.1.2"},
    {"pkcs-12-certBag", "1.2.840.113549.1.12.10.1.3"},
    {"md2", "1.2.840.113549.2.2"},
    {"md5", "1.2.840.113549.2.5"},
    {"sha1", "1.3.14.3.2.26"},
    {"sha256", "2.16.840.1.101.3.4.2.1"},
    {"sha384", "2.16.840.1.101.3.4.2.2"},
    {"sha512", "2.16.840.1.101.3.4.2.3"},
    {"sha224", "2.16.840.1.101.3.4.2.4"},
    {"md2WithRSAEncryption", "1.2.840.113549.1.1.2"},
    {"md5WithRSAEncryption", "1.2.840.113549.1.1.4"},
    {"sha1WithRSAEncryption", "1.2.840.113549.1.1.5"},
    {"sha1WithRSAEncryption", "1.3.14.3.2.29"},
    {"sha-1WithRSAEncryption", "1.3.14.3.2.29"},
    {"sha256WithRSAEncryption", "1.2.840.113549.1.1.11"},
    {"sha384WithRSAEncryption", "1.2.840.113549.1.1.12"},
    {"sha512WithRSAEncryption", "1.2.840.113549.1.1.13"},
    {"sha224WithRSAEncryption", "1.2.840.113549.1.1.14"},
    {"dsa", "1.2.840.10040.4.1"},
    {"dsaWithSha1", "1.2.840.10040.4.3"},
    {"pkcs5PBES2", "1.2.840.113549.1.5.13"},
    {"pkcs5PBKDF2", "1.2.840.113549.1.5.12"},
    {"des-EDE3-CBC", "1.2.840.113549.3.7"},
    {"des_3CBC_pad", "1.3.36.3.1.3.2.1"},
    {"desCBC", "1.3.14.3.2.7"},
    {"rc2CBC", "1.2.840.113549.3.2"},
    {"rc5-CBCPad", "1.2.840.113549.3.9"},
    {"aes128-CBC", "2.16.840.1.101.3.4.1.2"},
    {"aes192-CBC", "2.16.840.1.101.3.4.1.22"},
    {"aes256-CBC", "2.16.840.1.101.3.4.1.42"},
    {"aes128-wrap", "2.16.840.1.101.3.4.1.5"},
    {"aes192-wrap", "2.16.840.1.101.3.4.1.25"},
    {"aes256-wrap", "2.16.840.1.101.3.4.1.45"},
    {"cms3DESwrap", "1.2.840.113549.1.9.16.3.6"},
    {"hmacWithSHA1", "1.2.840.113549.2.7"},
    {"hmacWithSHA224", "1.2.840.113549.2.8"},
    {"hmacWithSHA256", "1.2.840.113549.2.9"},
    {"hmacWithSHA384", "1.2.840.113549.2.10"},
    {"hmacWithSHA512", "1.2.840.113549.2.11"},
    {"keyUsage", "2.5.29.15"},
    {"subjectAltName", "2.5.29.17"},
    {"basicConstraints", "2.5.29.19"},
    {"commonName", "2.5.4.3"},
    {"countryName", "2.5.4.6"},
    {"localityName", "2.5.4.7"},
    {"stateOrProvinceName", "2.5.4.8"},
    {"streetAddress", "2.5.4.9"},
    {"organizationName", "2.5.4.10"},
    {"organizationalUnitName", "2.5.4.11"},
    {"surname", "2.5.4.4"},
    {"serialNumber", "2.5.4.5"},
    {"givenName", "2.5.4.42"},
    {"title", "2.5.4.12"},
    {"domainComponent", "0.9.2342.19200300.100.1.25"},
    {"emailAddress", "1.2.840.113549.1.9.1"},
    {"userID", "0.9.2342.19200300.100.1.1"},
    {"data", "1.2.840.113549.1.7.1"},
    {"signedData", "1.2.840.113549.1.7.2"},
    {"envelopedData", "1.2.840.113549.1.7.3"},
    {"signedAndEnvelopedData", "1.2.840.113549.1.7.4"},
    {"digestedData", "1.2.840.113549.1.7.5"},
    {"encryptedData", "1.2.840.113549.1.7.6"},
    {"contentType", "1.2.840.113549.1.9.3"},
    {"messageDigest", "1.2.840.113549.1.9.4"},
    {"signingTime", "1.2.840.113549.1.9.5"},
    {"sMIMECapabilities", "1.2.840.113549.1.9.15"},
    {"certReqExtensions", "1.3.6.1.4.1.311.2.1.14"},
    {"x509Certificate", "1.2.840.113549.1.9.22.1"},
    {"friendlyName", "1.2.840.113549.1.9.20"},
    {"localKeyID", "1.2.840.113549.1.9.21"},
    {"microsoftLocalMachineKeyset", "1.3.6.1.4.1.311.17.1"},
    {"authorityKeyIdentifier", "2.5.29.35"},
    {"subjectKeyIdentifier", "2.5.29.14"},
    {"ac-generic-hybrid", "1.0.18033.2.1.2"},
    {"kem-rsa", "1.0.18033.2.2.4"},
    {"kdf-kdf2", "1.0.18033.2.5.2"},
    {"mpeg-1", "1.3.6.1.4.1.3029.42.11172.1"},
    {"cRLDistributionPoints", "2.5.29.31"},
    {"authorityInfoAccess", "1.3.6.1.5.5.7.1.1"},
    {"extKeyUsage", "2.5.29.37"},
    {"serverAuth", "1.3.6.1.5.5.7.3.1"},
    {"clientAuth", "1.3.6.1.5.5.7.3.2"},
    {"codeSigning", "1.3.6.1.5.5.7.3.3"},
    {"emailProtection", "1.3.6.1.5.5.7.3.4"},
    {"timeStamping", "1.3.6.1.5.5.7.3.8"},
    {"OCSPSigning", "1.3.6.1.5.5.7.3.9"},
    {"ocspBasic", "1.3.6.1.5.5.7.48.1.1"},
    {"ocspNonce", "1.3.6.1.5.5.7.48.1.2"},
    {"compressedData", "1.2.840.113549.1.9.16.1.9"},
    {"zlib", "1.2.840.113549.1.9.16.3.8"},
};
constexpr int kTableSize = static_cast<int>(sizeof kTable / sizeof kTable[0]);
static_assert(kTableSize == 101);

// Appends one arc in base 128, high bit set on all octets but the last.
bool AppendArc(std::uint8_t* out, int& count, unsigned long arc) {
    std::uint8_t groups[10];
    int n = 0;
    do {
        groups[n++] = static_cast<std::uint8_t>(arc & 0x7F);
        arc >>= 7;
    } while (arc);
    if (count + n > static_cast<int>(kOidMaxBytes)) return false;
    while (n > 1) out[count++] = static_cast<std::uint8_t>(0x80 | groups[--n]);
    out[count++] = groups[0];
    return true;
}

// DER content octets of a dotted identifier; the count, 0 on a malformed text.
int EncodeDotted(const char* dotted, std::uint8_t* out) {
    unsigned long arcs[24];
    int n = 0;
    for (const char* p = dotted; *p;) {
        char* end = nullptr;
        unsigned long v = std::strtoul(p, &end, 10);
        if (end == p || n == 24 || (*end != '.' && *end != '\0')) {
            asn_Trace("Invalid hex string in (internal) OID data");
            return 0;
        }
        arcs[n++] = v;
        p = *end ? end + 1 : end;
    }
    if (n < 2) return 0;
    int count = 0;
    if (!AppendArc(out, count, arcs[0] * 40 + arcs[1])) return 0;
    for (int i = 2; i < n; ++i) {
        if (!AppendArc(out, count, arcs[i])) {
            asn_Trace("Line too long in (internal) OID data");
            return 0;
        }
    }
    return count;
}

void CopyName(oid_Record& rec, const char* name) {
    std::size_t n = std::strlen(name);
    if (n > kOidMaxName) n = kOidMaxName;
    std::memcpy(rec.name, name, n);
    rec.name[n] = '\0';
}

}  // namespace

Error oid_FromName(oid_Record& rec, const char* name) {
    std::memset(&rec, 0, sizeof rec);
    if (!name) return Error::NO_MATCH_ERROR;
    for (const oid_Entry& e : kTable) {
        if (std::strcmp(e.name, name) != 0) continue;
        rec.count = EncodeDotted(e.dotted, rec.bytes);
        if (rec.count <= 0) {
            rec.count = 0;
            return Error::NO_MATCH_ERROR;
        }
        CopyName(rec, e.name);
        return kOk;
    }
    return Error::NO_MATCH_ERROR;
}

Error oid_ToName(oid_Record& rec) {
    rec.name[0] = '\0';
    if (rec.count < 1 || rec.count > static_cast<int>(kOidMaxBytes)) return Error::NO_MATCH_ERROR;
    std::uint8_t bytes[kOidMaxBytes];
    for (const oid_Entry& e : kTable) {
        int n = EncodeDotted(e.dotted, bytes);
        if (n == rec.count && std::memcmp(bytes, rec.bytes, static_cast<std::size_t>(n)) == 0) {
            CopyName(rec, e.name);
            return kOk;
        }
    }
    return Error::NO_MATCH_ERROR;
}

bool oid_NameIs(const oid_Record& rec, const char* name) {
    return name && std::strcmp(rec.name, name) == 0;
}

int oid_TableSize() { return kTableSize; }
const char* oid_EntryName(int i) { return i >= 0 && i < kTableSize ? kTable[i].name : nullptr; }
const char* oid_EntryDotted(int i) { return i >= 0 && i < kTableSize ? kTable[i].dotted : nullptr; }

}  // namespace kvn
