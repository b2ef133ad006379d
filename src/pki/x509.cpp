#include "pki/x509.h"

#include <cstdio>
#include <cstring>

#include "kelvane.h"
#include "pki/base64.h"
#include "pki/charset.h"
#include "pki/pem.h"
#include "pki/trace.h"

namespace kvn {
namespace {

struct ShortName {
    const char* type;
    const char* label;
};
constexpr ShortName kShortNames[] = {
    {"commonName", "CN"},   {"countryName", "C"},      {"localityName", "L"},
    {"stateOrProvinceName", "ST"}, {"organizationName", "O"}, {"organizationalUnitName", "OU"},
    {"emailAddress", "E"},  {"surname", "SN"},         {"givenName", "G"},
    {"title", "T"},         {"domainComponent", "DC"}, {"streetAddress", "STREET"},
    {"serialNumber", "SERIALNUMBER"}, {"userID", "UID"},
};

// Fields by position: the SEQUENCEs at level 2 of the certificate.
enum : int { kSignatureAlgorithm = 1, kIssuer = 2, kValidity = 3, kSubject = 4, kPublicKeyInfo = 5 };

bool IsTime(const asn_Node* n) { return n && (n->tag == kTagUtcTime || n->tag == kTagGeneralizedTime); }

// Certificate ::= SEQUENCE { tbsCertificate, signatureAlgorithm, signatureValue BIT STRING }
bool LooksLikeCertificate(asn_Node* head) {
    if (!head || head->tag != kTagSequence) return false;
    if (!asn_FindTagLevel(head, kTagBitString, 1)) return false;
    asn_Node* sigAlg = asn_NthTagLevel(head, kTagSequence, 2, 1);
    if (!sigAlg || !sigAlg->next || sigAlg->next->tag != kTagOid) return false;
    asn_Node* validity = asn_NthTagLevel(head, kTagSequence, kValidity, 2);
    return validity && IsTime(validity->next);
}

void AppendHex(String& out, const std::uint8_t* p, std::size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out += "#x";
    for (std::size_t i = 0; i < n; ++i) {
        out += kDigits[p[i] >> 4];
        out += kDigits[p[i] & 15];
    }
}

using Converter = Error (*)(char*, std::size_t, const std::uint8_t*, std::size_t, std::size_t&);

// Converts with fn, or writes "#x" hex when the conversion fails.
void AppendConverted(String& out, Converter fn, const std::uint8_t* p, std::size_t n) {
    std::size_t needed = 0;
    if (Failed(fn(nullptr, 0, p, n, needed))) {
        AppendHex(out, p, n);
        return;
    }
    String text(needed, '\0');
    std::size_t written = 0;
    if (Failed(fn(text.data(), text.size(), p, n, written))) written = 0;
    out.append(text.data(), written);
}

Error CopyUtf8(char* out, std::size_t capacity, const std::uint8_t* in, std::size_t n, std::size_t& produced) {
    if (out && capacity) std::memcpy(out, in, n < capacity ? n : capacity);
    produced = n;
    return kOk;
}

void AppendValue(String& out, const asn_Node* value, bool latin1) {
    const std::uint8_t* p = value->content;
    const std::size_t n = p ? value->length : 0;
    switch (value->tag) {
        case kTagUtf8String: AppendConverted(out, latin1 ? utf8_ToLatin1 : CopyUtf8, p, n); break;
        case kTagBmpString: AppendConverted(out, latin1 ? ucs2_ToLatin1 : ucs2_ToUtf8, p, n); break;
        case kTagUniversalString: AppendConverted(out, latin1 ? ucs4_ToLatin1 : ucs4_ToUtf8, p, n); break;
        case kTagNumericString:
        case kTagPrintableString:
        case kTagT61String:
        case kTagIa5String:
        case kTagUtcTime:
        case kTagGeneralizedTime:
        case kTagVisibleString: out.append(reinterpret_cast<const char*>(p), n); break;
        default: AppendHex(out, p, n); break;
    }
}

bool AppendLabel(String& out, const asn_Node* type) {
    oid_Record rec;
    if (Failed(asn_GetOid(type, rec))) return false;
    if (rec.name[0]) {
        for (const ShortName& s : kShortNames) {
            if (oid_NameIs(rec, s.type)) {
                out += s.label;
                return true;
            }
        }
        out += rec.name;
        return true;
    }
    char dotted[256];
    if (Failed(asn_GetOidText(type, dotted, sizeof dotted))) return false;
    out += dotted;
    return true;
}

}  // namespace

Error x509_Read(const char* argument, AsnList& cert) {
    if (Error rc = pki_ReadObject(cert, argument, kX509MinBase64); Failed(rc)) return rc;
    if (!LooksLikeCertificate(cert.get())) {
        asn_Trace("Not a valid X.509 certificate");
        cert.reset();
        return Error::BAD_FORMAT_ERROR;
    }
    return kOk;
}

Error x509_GetBase64(String& out, const char* argument) {
    out.clear();
    AsnList cert;
    SecureBytes der;
    if (Failed(x509_Read(argument, cert)) || Failed(asn_Encode(cert.get(), der))) return Error::INVALID_DATA_ERROR;
    SecureString text;
    b64_EncodeTo(text, der.data(), der.size());
    out.assign(text.data(), text.size());
    return kOk;
}

Error x509_GetSerial(String& hex, const char* argument) {
    hex.clear();
    AsnList cert;
    asn_Node* serial = Failed(x509_Read(argument, cert)) ? nullptr : asn_FindTagLevel(cert.get(), kTagInteger, 2);
    if (!serial) {
        asn_Trace("No Serial Number found in cert");
        return Error::BAD_FORMAT_ERROR;
    }
    const std::uint32_t length = asn_HeldLength(serial);
    hex.assign(2 * static_cast<std::size_t>(length), '\0');
    if (length) {
        String text(2 * static_cast<std::size_t>(length) + 1, '\0');
        hex_EncodeLower(text.data(), serial->content, length);
        std::memcpy(hex.data(), text.data(), hex.size());
    }
    return kOk;
}

Error x509_GetName(String& text, const char* argument, const char* delimiter, int options, bool subject) {
    text.clear();
    AsnList cert, name;
    if (!Failed(x509_Read(argument, cert))) name = asn_Extract(cert.get(), kTagSequence, subject ? kSubject : kIssuer, 2);
    if (!name) {
        asn_Trace("No Distinguished Name found in cert");
        return Error::BAD_FORMAT_ERROR;
    }
    const char separator = delimiter && *delimiter ? delimiter[0] : ';';
    const bool latin1 = (options & kX509NameLatin1) != 0;
    int index = 0;
    for (asn_Node* ava = name.get(); (ava = asn_FindTagLevel(ava, kTagSequence, 2)) != nullptr;) {
        ++index;
        // type and value: the first two elements at level 3 inside the AVA.
        asn_Node* type = ava->next && ava->next->level == 3 ? ava->next : nullptr;
        asn_Node* value = type && type->next && type->next->level == 3 ? type->next : nullptr;
        if (!type || type->tag != kTagOid || !value) {
            asn_Trace("Invalid AVA in Distinguished Name %d", index);
            text.clear();
            return Error::BAD_FORMAT_ERROR;
        }
        if (index > 1) text += separator;
        if (!AppendLabel(text, type)) {
            text.clear();
            return Error::BAD_FORMAT_ERROR;
        }
        text += '=';
        AppendValue(text, value, latin1);
    }
    return kOk;
}

Error x509_GetTime(char out[21], const char* argument, int which) {
    out[0] = '\0';
    if (!argument || !*argument) return Error::BAD_PARAM_ERROR;
    AsnList cert, validity;
    if (!Failed(x509_Read(argument, cert))) validity = asn_Extract(cert.get(), kTagSequence, kValidity, 2);
    if (!validity) {
        asn_Trace("No Validity in cert '%s'", argument);
        return Error::INVALID_DATA_ERROR;
    }
    std::tm tm;
    if (Failed(asn_GetTime(asn_NthAtLevel(validity.get(), which == 1 ? 1 : 2, 1), tm))) {
        asn_Trace("Cannot find time in cert '%s'", argument);
        return Error::INVALID_DATA_ERROR;
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    std::memcpy(out, text, 20);
    out[20] = '\0';
    return kOk;
}

Error x509_GetPublicKey(rsa_Key& key, const char* argument) {
    if (!argument || !*argument) return Error::BAD_PARAM_ERROR;
    AsnList cert;
    if (Failed(x509_Read(argument, cert))) {
        asn_Trace("Unable to extract public key from '%s'", argument);
        return Error::BAD_FORMAT_ERROR;
    }
    AsnList tbs = asn_Extract(cert.get(), kTagSequence, 1, 1);
    AsnList spki = tbs ? asn_Extract(tbs.get(), kTagSequence, kPublicKeyInfo, 1) : AsnList();
    oid_Record rec;
    if (!spki || Failed(asn_GetOid(asn_FindTagLevel(spki.get(), kTagOid, 2), rec)) || !oid_NameIs(rec, "rsaEncryption")) {
        asn_Trace("Unsupported key algorithm '%s': require `rsaEncryption'", spki ? rec.name : "");
        return Error::NOT_SUPPORTED_ERROR;
    }
    static const asn_TemplateEntry kPublicTemplate[] = {{16, 0}, {2, 1}, {2, 1}, {0, -1}};
    SecureBytes bits;
    if (Failed(asn_GetBits(asn_FindTagLevel(spki.get(), kTagBitString, 1), bits))) {
        asn_Trace("Unable to convert public key");
        return Error::NOT_RSA_KEY_ERROR;
    }
    AsnSource src = AsnSource::FromMemory(bits.data(), bits.size());
    AsnList rsaKey;
    if (Failed(asn_ReadTemplate(src, kPublicTemplate, rsaKey)) || Failed(rsa_LoadPublic(key, rsaKey.get()))) {
        asn_Trace("Unable to convert public key");
        return Error::NOT_RSA_KEY_ERROR;
    }
    return kOk;
}

Error x509_GetPublicKeyString(SecureString& out, const char* argument) {
    out.clear();
    if (!argument || !*argument) return Error::BAD_PARAM_ERROR;
    RsaKeyPtr key = rsa_KeyNew();
    if (Error e = x509_GetPublicKey(*key, argument); Failed(e)) return e;
    SecureBytes der;
    if (!rsa_PublicDer(*key, der)) return Error::INVALID_DATA_ERROR;
    rsa_MakeKeyString(out, kRsaKindPublic, der.data(), der.size());
    return out.empty() ? Error::INVALID_DATA_ERROR : kOk;
}

Error x509_GetKeyUsage(String& names, const char* argument) {
    static constexpr const char* kBits[] = {"digitalSignature", "nonRepudiation", "keyEncipherment",
                                            "dataEncipherment", "keyAgreement",   "keyCertSign",
                                            "cRLSign",          "encipherOnly",   "decipherOnly"};
    static constexpr std::uint8_t kKeyUsageOid[] = {0x55, 0x1D, 0x0F};  // 2.5.29.15
    names.clear();
    AsnList cert;
    if (Failed(x509_Read(argument, cert))) return Error::BAD_FORMAT_ERROR;
    for (asn_Node* n = cert.get(); n; n = n->next) {
        if (n->tag != kTagOid || n->length != sizeof kKeyUsageOid || !n->content ||
            std::memcmp(n->content, kKeyUsageOid, sizeof kKeyUsageOid) != 0)
            continue;
        asn_Node* value = n->next;
        if (value && value->tag == kTagBoolean && value->level == n->level) value = value->next;  // critical
        // extnValue: an OCTET STRING holding the DER of a BIT STRING (tag, length, unused bits, bytes).
        if (!value || value->tag != kTagOctetString || !value->content || value->length < 3) return Error::BAD_FORMAT_ERROR;
        const std::uint8_t* der = value->content;
        const std::uint32_t length = der[1];
        if (der[0] != kTagBitString || length < 1 || length > 3 || length + 2 != value->length || der[2] > 7)
            return Error::BAD_FORMAT_ERROR;
        for (std::uint32_t bit = 0; bit < 8 * (length - 1) && bit < 9; ++bit) {
            if (!(der[3 + bit / 8] & (0x80 >> (bit % 8)))) continue;
            if (!names.empty()) names += ',';
            names += kBits[bit];
        }
        return kOk;
    }
    return kOk;
}

}  // namespace kvn
