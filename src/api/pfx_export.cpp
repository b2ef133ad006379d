// KVN_WritePfxFile: the certificate and its key in one password-protected PKCS#12 file,
// handed out as base64 text (lines of 64 characters, each ended by a line feed).
#include "api/cert_exports.h"
#include "api/export_guard.h"
#include "base/file.h"
#include "pki/keyfile.h"
#include "pki/pem.h"
#include "pki/pfx.h"
#include "pki/rsa.h"

namespace kvn {
namespace {

Error WritePfx(const char* pfxFile, const char* pfxPassword, const char* keyFile, const char* password,
               const char* certFile) {
    if (Error rc = CheckKeyAndCert(keyFile, password, certFile); Failed(rc)) return rc;
    String certificate;
    if (!ResolveCertificate(certificate, certFile)) return Error::INVALID_DATA_ERROR;
    SecureString privateKey;
    if (Error rc = key_ReadEncrypted(privateKey, keyFile, password); Failed(rc)) {
        RecordError("Cannot read private key/No se puede leer la clave privada");
        return rc;
    }
    // Everything is built in memory: the key never passes through a file of its own, and
    // the output, which holds it, is readable by its owner only.
    const char* pass = pfxPassword && *pfxPassword ? pfxPassword : password;
    SecureBytes der;
    if (Error rc = pfx_Build(der, certificate.c_str(), privateKey.c_str(), pass, ""); Failed(rc)) {
        RecordError("Error creating PFX file/Error al crear el archivo PFX");
        return rc;
    }
    SecureString text;
    if (!pem_Format(text, der.data(), der.size(), "", 64, true)) {
        RecordError("Error creating PFX file/Error al crear el archivo PFX");
        return Error::MISC_ERROR;
    }
    ReplacingOutput out;
    Error rc = kOk;
    if (!out.Open(pfxFile, OutputAccess::kOwnerOnly)) {
        rc = Error::CREATE_ERROR;
    } else if (!out.Write(text.data(), text.size()) || !out.Commit()) {
        rc = Error::WRITE_ERROR;
    }
    if (Failed(rc)) {
        RecordError("Cannot create file '%s'/No se puede crear el archivo", pfxFile);
        return rc;
    }
    return kOk;
}

}  // namespace
}  // namespace kvn

extern "C" KVN_API int KVN_WritePfxFile(const char* pfxFile, const char* pfxPassword, const char* keyFile,
                                        const char* password, const char* certFile, int options) {
    (void)options;  // no option bits
    return kvn::RunExport([&] {
        if (kvn::Missing(pfxFile) || kvn::Missing(keyFile) || kvn::Missing(certFile)) return kvn::Error::BAD_PARAM_ERROR;
        return kvn::WritePfx(pfxFile, pfxPassword, keyFile, password, certFile);
    });
}
