// Exports that seal invoices and check their seals.
#include "api/export_guard.h"
#include "cfdi/document.h"
#include "base/memory.h"
#include "base/outbuf.h"
#include "cfdi/seal.h"
#include "cfdi/sign_document.h"
#include "cfdi/verify.h"

using namespace kvn;

extern "C" KVN_API int KVN_MakeDigestFromXml(char* out, int outlen, const char* xmlFile, int options) {
    return RunExport([&] {
        if (!xmlFile) return ResultOf(Error::BAD_PARAM_ERROR);
        DocumentTextScope asText((options & KVN_OPT_XMLTEXT) != 0);
        int length = 0;
        if (Error rc = MakeDigestFromXml(length, out, outlen, xmlFile, options); Failed(rc)) return ResultOf(rc);
        return length;
    });
}

extern "C" KVN_API int KVN_MakeSignatureFromXmlEx(char* out, int outlen, const char* xmlFile, const char* keyFile,
                                                  const char* password, int options) {
    return RunExport([&] {
        if (!xmlFile || !keyFile || !password) return ResultOf(Error::BAD_PARAM_ERROR);
        String seal;
        if (Error rc = MakeSeal(seal, xmlFile, keyFile, password, options); Failed(rc)) return ResultOf(rc);
        if (!WantsLength(out, outlen)) CopyOut(out, outlen, seal.data(), seal.size());
        return static_cast<int>(seal.size());
    });
}

extern "C" KVN_API int KVN_MakeSignatureFromXml(char* out, int outlen, const char* xmlFile, const char* keyFile,
                                                const char* password) {
    return KVN_MakeSignatureFromXmlEx(out, outlen, xmlFile, keyFile, password, 0);
}

extern "C" KVN_API int KVN_SignXml(const char* outputFile, const char* xmlFile, const char* keyFile,
                                   const char* password, const char* certFile, int options) {
    return RunExport([&] {
        if (!outputFile || !xmlFile || !keyFile || !password) return Error::BAD_PARAM_ERROR;
        return SignDocument(outputFile, xmlFile, keyFile, password, certFile, options);
    });
}

extern "C" KVN_API int KVN_VerifySignature(const char* xmlFile, const char* certFile, int options) {
    return RunExport([&] {
        if (!xmlFile) return Error::BAD_PARAM_ERROR;
        DocumentTextScope asText((options & KVN_OPT_XMLTEXT) != 0);
        return VerifyDocumentSignature(xmlFile, certFile, options);
    });
}

extern "C" KVN_API int KVN_ExtractDigestFromSignature(char* out, int outlen, const char* xmlFile,
                                                      const char* certFile, int options) {
    return RunExport([&] {
        if (!xmlFile) return ResultOf(Error::BAD_PARAM_ERROR);
        int length = 0;
        if (Error rc = ExtractDigestFromSignature(length, out, outlen, xmlFile, certFile, options); Failed(rc))
            return ResultOf(rc);
        return length;
    });
}
