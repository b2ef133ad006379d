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

// A positive code of the PKI layer as the export's result (0 without success becomes 9745).
int Failure(int code) {
    if (code < 0) return code;
    return code == 0 ? -kRsaNoSpecificCode : -code;
}

int WritePfx(const char* pfxFile, const char* pfxPassword, const char* keyFile, const char* password,
             const char* certFile) {
    if (int rc = CheckKeyAndCert(keyFile, password, certFile)) return Failure(rc);
    String certificate;
    if (!ResolveCertificate(certificate, certFile)) return -INVALID_DATA_ERROR;
    SecureString privateKey;
    if (int rc = key_ReadEncrypted(privateKey, keyFile, password)) {
        RecordError("Cannot read private key/No se puede leer la clave privada");
        return rc;
    }
    // Both temporary files are removed when these go out of scope, on every path.
    UniquePtr<TempFile> keyTemp = TempFile::Create("KVA", true);
    UniquePtr<TempFile> pfxTemp = keyTemp ? TempFile::Create("KVA", true) : nullptr;
    if (!keyTemp || !pfxTemp) {
        RecordError("Cannot create a temporary file/No se puede crear un archivo temporal");
        return -CREATE_ERROR;
    }
    keyTemp->Close();
    pfxTemp->Close();
    const char* pass = pfxPassword && *pfxPassword ? pfxPassword : password;
    if (int rc = key_WriteEncrypted(keyTemp->name(), privateKey.c_str(), kPfxIterations, pass, 0)) {
        RecordError("Error writing to temporary file/Error al escribir en un archivo temporal");
        return Failure(rc);
    }
    if (int rc = pfx_Make(pfxTemp->name(), certificate.c_str(), keyTemp->name(), pass, "", 0)) {
        RecordError("Error creating PFX file/Error al crear el archivo PFX");
        return Failure(rc);
    }
    if (int rc = CodeOf(pem_CopyAndConvert(pfxFile, pfxTemp->name(), "", 64, kPemLfOnly))) {
        RecordError("Cannot create file '%s'/No se puede crear el archivo", pfxFile);
        return Failure(rc);
    }
    return 0;
}

}  // namespace
}  // namespace kvn

extern "C" KVN_API int KVN_WritePfxFile(const char* pfxFile, const char* pfxPassword, const char* keyFile,
                                        const char* password, const char* certFile, int options) {
    (void)options;  // no option bits
    return kvn::RunExport([&] {
        if (kvn::Missing(pfxFile) || kvn::Missing(keyFile) || kvn::Missing(certFile)) return -BAD_PARAM_ERROR;
        return kvn::WritePfx(pfxFile, pfxPassword, keyFile, password, certFile);
    });
}
