/*
 * sign_and_verify.c - seal an invoice and check the seal through the public C interface.
 *
 *   cc -o sign_and_verify sign_and_verify.c $(pkg-config --cflags --libs kelvane)
 *   ./sign_and_verify cfdi40-invoice.xml signed.xml \
 *       test-credentials/test-csd-1024.key test-credentials/test-csd-1024.cer test-password
 *
 * Prints the pipe string, the seal and the certificate number, writes the signed invoice
 * and verifies it against the certificate it now carries. Exit status 0 when all went well.
 */
#include <stdio.h>
#include <stdlib.h>

#include "kelvane.h"

/* Prints the library's messages for a failed call and returns 1. */
static int fail(const char* what, int code) {
    char message[4096];
    KVN_LastError(message, (int)sizeof message - 1);
    fprintf(stderr, "%s failed with %d: %s\n", what, code, message);
    return 1;
}

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s INVOICE.xml SIGNED.xml KEY CERT PASSWORD\n", argv[0]);
        return 2;
    }
    const char *invoice = argv[1], *signed_file = argv[2], *key = argv[3], *cert = argv[4],
               *password = argv[5];

    /* The pipe string: ask for the length first, then fetch it into a buffer of that size. */
    int n = KVN_MakePipeStringFromXml(NULL, 0, invoice, 0);
    if (n < 0) return fail("KVN_MakePipeStringFromXml", n);
    char* pipe = malloc((size_t)n + 1);
    if (!pipe) return 1;
    n = KVN_MakePipeStringFromXml(pipe, n, invoice, 0);
    if (n < 0) return fail("KVN_MakePipeStringFromXml", n);
    printf("pipe string: %s\n", pipe);
    free(pipe);

    /* Seal and write the signed document: sello, noCertificado and certificado are filled
     * (Sello, NoCertificado and Certificado from CFDI 3.3 on). */
    int rc = KVN_SignXml(signed_file, invoice, key, password, cert, 0);
    if (rc != 0) return fail("KVN_SignXml", rc);
    int version = KVN_XmlReceiptVersion(signed_file);
    if (version < 0) return fail("KVN_XmlReceiptVersion", version);

    char seal[512], number[64];
    rc = KVN_GetXmlAttribute(seal, (int)sizeof seal - 1, signed_file, version >= 33 ? "Sello" : "sello",
                             "Comprobante");
    if (rc < 0) return fail("KVN_GetXmlAttribute", rc);
    rc = KVN_GetCertNumber(number, (int)sizeof number - 1, cert);
    if (rc < 0) return fail("KVN_GetCertNumber", rc);
    printf("seal: %s\ncertificate number: %s\n", seal, number);

    /* A null certificate checks the seal against the certificate inside the document. */
    rc = KVN_VerifySignature(signed_file, NULL, 0);
    if (rc != 0) return fail("KVN_VerifySignature", rc);
    printf("%s: seal verified\n", signed_file);
    return 0;
}
