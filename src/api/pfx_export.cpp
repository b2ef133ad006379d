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
    // Both temporary files are removed when these go out of scope, on every path.
    UniquePtr<TempFile> keyTemp = TempFile::Create("KVA", true);
    UniquePtr<TempFile> pfxTemp = keyTemp ? TempFile::Create("KVA", true) : nullptr;
    if (!keyTemp || !pfxTemp) {
        RecordError("Cannot create a temporary file/No se puede crear un archivo temporal");
        return Error::CREATE_ERROR;
    }
    keyTemp->Close();
    pfxTemp->Close();
    const char* pass = pfxPassword && *pfxPassword ? pfxPassword : password;
    if (Error rc = key_WriteEncrypted(keyTemp->name(), privateKey.c_str(), kPfxIterations, pass, 0); Failed(rc)) {
        RecordError("Error writing to temporary file/Error al escribir en un archivo temporal");
        return rc;
    }
    if (Error rc = pfx_Make(pfxTemp->name(), certificate.c_str(), keyTemp->name(), pass, "", 0); Failed(rc)) {
        RecordError("Error creating PFX file/Error al crear el archivo PFX");
        return rc;
    }
    if (Error rc = pem_CopyAndConvert(pfxFile, pfxTemp->name(), "", 64, kPemLfOnly); Failed(rc)) {
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
