#include "cfdi/attribute_query.h"

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "base/lasterror.h"
#include "base/memory.h"
#include "cfdi/document.h"
#include "cfdi/namespaces.h"
#include "cfdi/xml_events.h"
#include "kelvane.h"

namespace kvn {
namespace {

constexpr std::size_t kMaxElementRef = 512;

// The element a query looks for, parsed from "[prefix:]local[n]".
struct ElementRef {
    String text;              // the reference without its index
    const char* uri = nullptr;
    const char* local = nullptr;
    long occurrence = 1;
};

// An index below 1 leaves "[" and the digits in the name (only "]" goes), so that no
// element matches and the query answers NO_MATCH_ERROR.
ElementRef ParseElementRef(const char* reference) {
    ElementRef ref;
    ref.text.assign(reference, strnlen(reference, kMaxElementRef));
    std::size_t open = ref.text.find('[');
    if (open != String::npos) {
        std::size_t close = ref.text.find(']', open + 1);
        if (close != String::npos) {
            long n = std::atol(ref.text.c_str() + open + 1);
            if (n >= 1) {
                ref.occurrence = n;
                ref.text.resize(open);
            } else {
                ref.text.erase(close, 1);
            }
        }
    }
    ResolvedName resolved = ResolvePrefixedName(ref.text.c_str());
    ref.uri = resolved.uri;
    ref.local = resolved.local;
    return ref;
}

class AttributeQuerySink final : public XmlEventSink {
public:
    AttributeQuerySink(const ElementRef& ref, const char* attributeName, char* out, int outlen)
        : ref_(ref), attributeName_(attributeName), out_(out), outlen_(outlen) {}

    bool OnStartElement(const char* uri, const char* local, const char* qname, const ElementAttribute* attributes,
                        std::size_t count) override {
        if (!Matches(uri, local, qname)) return true;
        if (++seen_ < ref_.occurrence) return true;
        for (std::size_t i = 0; i < count; ++i) {
            if (std::strcmp(attributes[i].qname, attributeName_) == 0) {
                Answer(attributes[i].value);
                return false;
            }
        }
        return true;
    }

    bool found() const noexcept { return found_; }
    int length() const noexcept { return length_; }

private:
    bool Matches(const char* uri, const char* local, const char* qname) const {
        if (*local == '\0') return std::strcmp(qname, ref_.local) == 0;
        if (*uri != '\0' && ref_.uri && std::strcmp(uri, ref_.uri) != 0) return false;
        return std::strcmp(local, ref_.local) == 0;
    }

    void Answer(const char* value) {
        std::size_t n = std::strlen(value);
        found_ = true;
        length_ = n > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
        if (out_ && outlen_ >= 1) {
            std::size_t take = n < static_cast<std::size_t>(outlen_) ? n : static_cast<std::size_t>(outlen_);
            std::memcpy(out_, value, take);
            out_[take] = '\0';
        }
    }

    const ElementRef& ref_;
    const char* attributeName_;
    char* out_;
    int outlen_;
    long seen_ = 0;
    bool found_ = false;
    int length_ = 0;
};

// The version attribute is read up to this many characters.
constexpr int kVersionTextMax = 15;

// The roots that name their version `Version` and the version number each settles.
struct CapitalisedRoot {
    const char* uri;
    const char* local;
    const char* version;
    int number;
};

constexpr CapitalisedRoot kCapitalisedRoots[] = {
    {"http://www.sat.gob.mx/cfd/3", "Comprobante", "3.3", 33},
    {"http://www.sat.gob.mx/cfd/4", "Comprobante", "4.0", 40},
    {"http://www.sat.gob.mx/esquemas/retencionpago/1", "Retenciones", "1.0", KVN_VERSION_RET10},
    {"http://www.sat.gob.mx/esquemas/retencionpago/2", "Retenciones", "2.0", KVN_VERSION_RET20},
};

bool IsCapitalisedRootName(const char* local) noexcept {
    for (const CapitalisedRoot& row : kCapitalisedRoots) {
        if (std::strcmp(local, row.local) == 0) return true;
    }
    return false;
}

// What the root start tag says about a capitalised `Version`.
struct RootVersion {
    bool capitalised = false;  // a root Comprobante with `Version` and without `version`, or a
                               // root Retenciones with `Version`
    int number = 0;            // the row's number when it names a supported version, else 0
    char text[kVersionTextMax + 1] = {};
};

RootVersion ReadRootVersion(const char* uri, const char* local, const ElementAttribute* attributes,
                            std::size_t count) noexcept {
    RootVersion root;
    if (!IsCapitalisedRootName(local)) return root;
    const bool comprobante = std::strcmp(local, "Comprobante") == 0;
    const char* value = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        if (comprobante && std::strcmp(attributes[i].qname, "version") == 0) return root;
        if (std::strcmp(attributes[i].qname, "Version") == 0) value = attributes[i].value;
    }
    if (!value) return root;
    root.capitalised = true;
    std::memcpy(root.text, value, ::strnlen(value, kVersionTextMax));
    for (const CapitalisedRoot& row : kCapitalisedRoots) {
        if (std::strcmp(local, row.local) == 0 && std::strcmp(uri, row.uri) == 0 &&
            std::strcmp(value, row.version) == 0) {
            root.number = row.number;
        }
    }
    return root;
}

// Reads the root start tag and stops.
class RootVersionSink final : public XmlEventSink {
public:
    bool OnStartElement(const char* uri, const char* local, const char* /*qname*/,
                        const ElementAttribute* attributes, std::size_t count) override {
        root = ReadRootVersion(uri, local, attributes, count);
        return false;
    }
    RootVersion root;
};

}  // namespace

Error QueryAttribute(char* out, int outlen, std::FILE* document, const char* attributeName, const char* elementRef,
                     int& length) {
    length = 0;
    if (!document || !attributeName || !elementRef) return Error::BAD_PARAM_ERROR;
    if (out && outlen > 0) out[0] = '\0';
    ElementRef ref = ParseElementRef(elementRef);
    AttributeQuerySink sink(ref, attributeName, out, outlen);
    XmlParseResult result = ParseXmlEvents(document, sink, kXmlKeepNamespaceDeclarations);
    if (result.status == XmlParseStatus::kError) {
        RecordError("XML parsing error/Error al analizar de XML: %s (Line/numero de linea: %d)", result.message,
                    result.line);
        return Error::BAD_XML_ERROR;
    }
    if (!sink.found()) return Error::NO_MATCH_ERROR;
    length = sink.length();
    return kOk;
}

double ReadLeadingNumber(const char* text) noexcept {
    while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    if (*text == '+' || *text == '-') return 0.0;  // "+-1" is no number
    double value = 0.0;
    std::from_chars_result r = std::from_chars(text, text + std::strlen(text), value, std::chars_format::general);
    if (r.ec != std::errc()) return 0.0;
    return negative ? -value : value;
}

int SupportedVersionNumber(const char* text) noexcept {
    char cut[kVersionTextMax + 1] = {};
    std::memcpy(cut, text, ::strnlen(text, kVersionTextMax));
    double version = ReadLeadingNumber(cut);
    double major = std::trunc(version);
    if (major != 2.0 && major != 3.0) return 0;
    return static_cast<int>(std::trunc(version * 10.0));
}

int RootVersionNumber(const char* uri, const char* local, const ElementAttribute* attributes,
                      std::size_t count) noexcept {
    const bool comprobante = std::strcmp(local, "Comprobante") == 0;
    for (std::size_t i = 0; comprobante && i < count; ++i) {
        if (std::strcmp(attributes[i].qname, "version") == 0) {
            int number = SupportedVersionNumber(attributes[i].value);
            return number == 33 ? 0 : number;
        }
    }
    return ReadRootVersion(uri, local, attributes, count).number;
}

Error DetectVersion(std::FILE* document, double& version) {
    {
        // A parse error is left for the query below to find and report.
        RootVersionSink sink;
        ParseXmlEvents(document, sink, kXmlDefaults);
        std::rewind(document);
        if (sink.root.capitalised) {
            if (sink.root.number == 0) {
                RecordError("CFD version '%s' not supported/CFD version no es compatible", sink.root.text);
                return Error::NOT_SUPPORTED_ERROR;
            }
            version = sink.root.number / 10.0;
            return kOk;
        }
    }
    char text[kVersionTextMax + 1];
    int length = 0;
    Error rc = QueryAttribute(text, kVersionTextMax, document, "version", "Comprobante", length);
    if (rc == Error::NO_MATCH_ERROR) {
        RecordError("Cannot find the 'version' attribute/No se puede encontrar la 'version' atributo");
        return rc;
    }
    if (Failed(rc)) return rc;
    version = ReadLeadingNumber(text);
    double major = std::trunc(version);
    // 3.3 is only ever written as `Version` (above); a `version` of 3.3 belongs to no
    // version this library reads.
    if ((major != 2.0 && major != 3.0) || std::trunc(version * 10.0) == 33.0) {
        RecordError("CFD version '%s' not supported/CFD version no es compatible", text);
        return Error::NOT_SUPPORTED_ERROR;
    }
    return kOk;
}

Error VersionNumber(const char* xmlFile, int& number) {
    number = 0;
    FilePtr document = OpenDocument(xmlFile);
    if (!document) return Error::OPEN_ERROR;
    double version = 0.0;
    if (Error rc = DetectVersion(document.get(), version); Failed(rc)) return rc;
    number = static_cast<int>(std::trunc(version * 10.0));
    return kOk;
}

DocumentVersion ReadDocumentVersion(const char* xmlFile) {
    DocumentVersion version;
    version.error = VersionNumber(xmlFile, version.number);
    return version;
}

}  // namespace kvn
