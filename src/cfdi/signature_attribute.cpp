#include "cfdi/signature_attribute.h"

#include <algorithm>
#include <cstring>

#include "cfdi/attribute_query.h"
#include "cfdi/document.h"
#include "cfdi/namespaces.h"
#include "cfdi/xml_events.h"
#include "crypto/digest.h"
#include "kelvane.h"

namespace kvn {
namespace {

constexpr SealNames kLowerCaseNames = {nullptr,    "Comprobante", "sello", "certificado", "noCertificado",
                                       "selloSAT", false,         false};
constexpr SealNames kCfdi33Names = {"http://www.sat.gob.mx/cfd/3", "Comprobante", "Sello", "Certificado",
                                    "NoCertificado",               "SelloSAT",    true,    true};
constexpr SealNames kCfdi40Names = {"http://www.sat.gob.mx/cfd/4", "Comprobante", "Sello", "Certificado",
                                    "NoCertificado",               "SelloSAT",    true,    true};
constexpr SealNames kRet10Names = {"http://www.sat.gob.mx/esquemas/retencionpago/1", "Retenciones", "Sello", "Cert",
                                   "NumCert", "selloSAT", true, true};
constexpr SealNames kRet20Names = {"http://www.sat.gob.mx/esquemas/retencionpago/2", "Retenciones", "Sello",
                                   "Certificado", "NoCertificado", "SelloSAT", true, true};

// The versions with names of their own, and the digest their seals (and stamps) take.
struct VersionSeal {
    int number;
    const SealNames* names;
    unsigned hash;
    VersionLabel label;
};

constexpr VersionSeal kVersionSeals[] = {
    {33, &kCfdi33Names, kHashSha256, {"CFDI", "3.3"}},
    {40, &kCfdi40Names, kHashSha256, {"CFDI", "4.0"}},
    {KVN_VERSION_RET10, &kRet10Names, kHashSha1, {"Retenciones", "1.0"}},
    {KVN_VERSION_RET20, &kRet20Names, kHashSha256, {"Retenciones", "2.0"}},
};

const VersionSeal* VersionSealOf(int versionNumber) noexcept {
    for (const VersionSeal& row : kVersionSeals) {
        if (row.number == versionNumber) return &row;
    }
    return nullptr;
}

const char* FieldName(const SealNames& names, SealField field) {
    switch (field) {
        case SealField::kSeal: return names.seal;
        case SealField::kCertificate: return names.certificate;
        case SealField::kCertificateNumber: return names.number;
    }
    return names.seal;
}

// Values up to this length (a certificate in base64 is about 2,000 characters) are read
// in one query; a longer one takes a second query into a buffer of its size.
inline constexpr int kFirstReadLength = 8192;

bool ReadWholeAttribute(const char* xmlFile, const char* attributeName, const char* elementRef, String& value) {
    String text(kFirstReadLength, '\0');
    int length = 0;
    {
        FilePtr document = OpenDocument(xmlFile);
        if (!document) return false;
        if (Failed(QueryAttribute(text.data(), kFirstReadLength, document.get(), attributeName, elementRef, length)))
            return false;
    }
    if (length < 1) return false;
    if (length > kFirstReadLength) {
        FilePtr document = OpenDocument(xmlFile);
        if (!document) return false;
        text.assign(static_cast<std::size_t>(length), '\0');
        int got = 0;
        if (Failed(QueryAttribute(text.data(), length, document.get(), attributeName, elementRef, got)) || got < 1)
            return false;
        length = std::min(got, length);
    }
    text.resize(static_cast<std::size_t>(length));
    value = std::move(text);
    return true;
}

// Looks at the root's start tag only, then stops the parse.
class RootAttributeSink final : public XmlEventSink {
public:
    RootAttributeSink(const char* name, String* value) : name_(name), value_(value) {}
    bool OnStartElement(const char*, const char*, const char*, const ElementAttribute* attributes,
                        std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            if (std::strcmp(attributes[i].qname, name_) != 0) continue;
            found_ = true;
            if (value_) value_->assign(attributes[i].value);
            break;
        }
        return false;
    }
    bool found() const { return found_; }

private:
    const char* name_;
    String* value_;
    bool found_ = false;
};

bool ReadRootAttribute(const char* xmlFile, const char* attributeName, String* value) {
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return false;
    RootAttributeSink sink(attributeName, value);
    XmlParseResult result = ParseXmlEvents(document.get(), sink, kXmlKeepNamespaceDeclarations);
    return result.status == XmlParseStatus::kStopped && sink.found();
}

bool IsWrapWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool Unwrapped(String& value) {
    value.erase(std::remove_if(value.begin(), value.end(), IsWrapWhitespace), value.end());
    return true;
}

// Attribute `name` of the root of a document of this version, not empty.
bool ReadRootSealAttribute(const char* xmlFile, int versionNumber, const char* name, String& value) {
    if (!VersionSealOf(versionNumber)) {
        const char* element = versionNumber / 10 == 3 ? "cfdi:Comprobante" : "Comprobante";
        return ReadWholeAttribute(xmlFile, name, element, value);
    }
    // The version was read from this root, so the root is the element that carries it.
    String text;
    if (!ReadRootAttribute(xmlFile, name, &text) || text.empty()) return false;
    value = std::move(text);
    return true;
}

}  // namespace

const SealNames& SealNamesForVersion(int versionNumber) noexcept {
    const VersionSeal* row = VersionSealOf(versionNumber);
    return row ? *row->names : kLowerCaseNames;
}

bool FixedSealHash(int versionNumber, unsigned& hash) noexcept {
    const VersionSeal* row = VersionSealOf(versionNumber);
    if (row) hash = row->hash;
    return row != nullptr;
}

VersionLabel SealedVersionLabel(int versionNumber) noexcept {
    const VersionSeal* row = VersionSealOf(versionNumber);
    return row ? row->label : VersionLabel{};
}

bool ReadSealField(const char* xmlFile, const DocumentVersion& version, SealField field, String& value) {
    if (version.Unreadable()) return false;
    const char* name = FieldName(SealNamesForVersion(version.number), field);
    return ReadRootSealAttribute(xmlFile, version.number, name, value) && Unwrapped(value);
}

bool ReadSealField(const char* xmlFile, SealField field, String& value) {
    return ReadSealField(xmlFile, ReadDocumentVersion(xmlFile), field, value);
}

bool RootHasAttribute(const char* xmlFile, const char* attributeName) {
    return ReadRootAttribute(xmlFile, attributeName, nullptr);
}

bool ReadStampSignature(const char* xmlFile, const DocumentVersion& version, String& value) {
    if (version.Unreadable()) return false;
    return ReadWholeAttribute(xmlFile, SealNamesForVersion(version.number).stampSeal, "tfd:TimbreFiscalDigital", value);
}

bool ReadStampSignature(const char* xmlFile, String& value) {
    return ReadStampSignature(xmlFile, ReadDocumentVersion(xmlFile), value);
}

}  // namespace kvn
