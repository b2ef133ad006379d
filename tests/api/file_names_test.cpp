// An empty file name is a name like any other: the exports that open a document or
// certificate try to open it, fail, and say so with "Cannot open file ''...", each with
// the code its operation gives for a file that cannot be opened. A null pointer is refused
// before anything is opened.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kelvane.h"
#include "seal_support.h"

namespace {

using seal_test::Cert;
using seal_test::Key;
using seal_test::kPassword;

std::string LastError() {
    char buf[4100];
    KVN_LastError(buf, 4099);
    return buf;
}

TEST(FileNames, EmptyNameCannotBeOpenedNullIsRefused) {
    const std::string key = Key(1024), cert = Cert(1024);
    char out[512];
    struct Case {
        const char* name;
        std::function<int(const char*)> call;  // the file name under test goes in
        int emptyGives;                         // what "" gives; null always gives BAD_PARAM_ERROR
    } cases[] = {
        {"XmlReceiptVersion", [&](const char* f) { return KVN_XmlReceiptVersion(f); }, -OPEN_ERROR},
        {"GetXmlAttribute", [&](const char* f) { return KVN_GetXmlAttribute(out, 511, f, "version", "Comprobante"); },
         -OPEN_ERROR},
        {"MakePipeStringFromXml", [&](const char* f) { return KVN_MakePipeStringFromXml(out, 511, f, 0); },
         -OPEN_ERROR},
        {"MakeDigestFromXml", [&](const char* f) { return KVN_MakeDigestFromXml(out, 511, f, 0); }, -OPEN_ERROR},
        {"MakeSignatureFromXmlEx",
         [&](const char* f) { return KVN_MakeSignatureFromXmlEx(out, 511, f, key.c_str(), kPassword, 0); },
         -OPEN_ERROR},
        {"SignXml", [&](const char* f) { return KVN_SignXml("/nonexistent/out.xml", f, key.c_str(), kPassword, cert.c_str(), 0); },
         -OPEN_ERROR},
        {"ValidateXml", [&](const char* f) { return KVN_ValidateXml(f, 0); }, -OPEN_ERROR},
        // No document, so no seal to check: the seal is missing.
        {"VerifySignature", [&](const char* f) { return KVN_VerifySignature(f, cert.c_str(), 0); }, -BAD_PARAM_ERROR},
        // Without a certificate the document's own is looked for first, and is not there.
        {"VerifySignature, own certificate", [&](const char* f) { return KVN_VerifySignature(f, nullptr, 0); },
         -INVALID_DATA_ERROR},
        {"ExtractDigestFromSignature",
         [&](const char* f) { return KVN_ExtractDigestFromSignature(out, 511, f, cert.c_str(), 0); }, -BAD_PARAM_ERROR},
        // Not a certificate, so the name is tried as a signed document: no certificado.
        {"GetCertNumber", [&](const char* f) { return KVN_GetCertNumber(out, 511, f); }, -INVALID_DATA_ERROR},
        {"GetCertExpiry", [&](const char* f) { return KVN_GetCertExpiry(out, 511, f, 0); }, -INVALID_DATA_ERROR},
        {"GetCertAsString", [&](const char* f) { return KVN_GetCertAsString(out, 511, f); }, -INVALID_DATA_ERROR},
        {"QueryCert", [&](const char* f) { return KVN_QueryCert(out, 511, f, "rfc", 0); }, -MISSING_ERROR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.call(""), c.emptyGives);
        EXPECT_EQ(LastError().rfind("Cannot open file ''/No se puede abrir el archivo", 0), 0u) << LastError();
        EXPECT_EQ(LastError().find("Cannot open file", 1), std::string::npos) << "recorded twice: " << LastError();
        EXPECT_EQ(c.call(nullptr), -BAD_PARAM_ERROR);
        EXPECT_EQ(LastError(), "");
    }
}

}  // namespace
