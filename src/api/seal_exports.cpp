// Exports that seal invoices and check their seals.
#include "api/export_guard.h"
#include "base/memory.h"
#include "base/outbuf.h"
#include "cfdi/seal.h"
#include "cfdi/sign_document.h"
#include "cfdi/verify.h"

using namespace kvn;

extern "C" KVN_API int KVN_MakeDigestFromXml(char* out, int outlen, const char* xmlFile, int options) {
    return RunExport([&] {
        if (!xmlFile) return -BAD_PARAM_ERROR;
        return MakeDigestFromXml(out, outlen, xmlFile, options);
    });
}

extern "C" KVN_API int KVN_MakeSignatureFromXmlEx(char* out, int outlen, const char* xmlFile, const char* keyFile,
                                                  const char* password, int options) {
    return RunExport([&] {
        if (!xmlFile || !keyFile || !password) return -BAD_PARAM_ERROR;
        String seal;
        const int length = MakeSeal(seal, xmlFile, keyFile, password, options);
        if (length < 1) return length;
        if (!WantsLength(out, outlen)) CopyOut(out, outlen, seal.data(), seal.size());
        return length;
    });
}

extern "C" KVN_API int KVN_MakeSignatureFromXml(char* out, int outlen, const char* xmlFile, const char* keyFile,
                                                const char* password) {
    return KVN_MakeSignatureFromXmlEx(out, outlen, xmlFile, keyFile, password, 0);
}

extern "C" KVN_API int KVN_SignXml(const char* outputFile, const char* xmlFile, const char* keyFile,
                                   const char* password, const char* certFile, int options) {
    return RunExport([&] {
        if (!outputFile || !xmlFile || !keyFile || !password) return -BAD_PARAM_ERROR;
        return SignDocument(outputFile, xmlFile, keyFile, password, certFile, options);
    });
}

extern "C" KVN_API int KVN_VerifySignature(const char* xmlFile, const char* certFile, int options) {
    return RunExport([&] {
        if (!xmlFile) return -BAD_PARAM_ERROR;
        return VerifyDocumentSignature(xmlFile, certFile, options);
    });
}

extern "C" KVN_API int KVN_ExtractDigestFromSignature(char* out, int outlen, const char* xmlFile,
                                                      const char* certFile, int options) {
    return RunExport([&] {
        if (!xmlFile) return -BAD_PARAM_ERROR;
        return ExtractDigestFromSignature(out, outlen, xmlFile, certFile, options);
    });
}
