/*
 * kelvane.h - public C interface of the Kelvane library (libkelvane.so.5).
 *
 * Build, seal, verify and validate Mexican electronic invoices (CFD 2.0/2.2,
 * CFDI 3.0/3.2) and the TimbreFiscalDigital 1.0 stamp; query certificates and keys.
 *
 * Conventions shared by every function:
 *  - Arguments are NUL-terminated 8-bit strings (file names, passwords, queries), an
 *    output buffer with its length, or an int. Every result is an int: zero or positive
 *    on success (a length, count or version), a negated error code on failure.
 *  - Output buffer (out, outlen): outlen counts characters without the NUL, so the buffer
 *    holds outlen + 1 bytes. A null out or an outlen below 1 asks for the length needed.
 *  - After a failure, KVN_LastError gives the messages recorded by the call; the text is
 *    per thread, so it always holds the calling thread's own last call.
 *  - Every function may be called from any number of threads at once, without locks.
 *    Nothing is kept between calls but the per-thread last-error text and a key drawn
 *    once per process; srand/rand and umask are never called. Random bytes come from
 *    the operating system (getrandom, else /dev/urandom).
 */
#ifndef KELVANE_H
#define KELVANE_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KVN_BUILDING_LIBRARY)
#define KVN_API __attribute__((visibility("default")))
#else
#define KVN_API
#endif

/* Option bits; each function reads only its own. */
#define KVN_OPT_LATIN1    0x1    /* pipe string in Latin-1; certificate texts in Latin-1 */
#define KVN_OPT_MD5       0x10   /* digest with MD5 instead of SHA-1 */
#define KVN_OPT_PLATFORM  64     /* KVN_ModuleName: the platform name instead of the path */
#define KVN_OPT_NOTBEFORE 0x1000 /* KVN_GetCertExpiry: start of validity instead of end */
#define KVN_OPT_NOBOM     0x2000 /* KVN_SignXml: no UTF-8 byte-order mark */
#define KVN_OPT_NOFACETS  0x4000 /* KVN_ValidateXml(Findings): skip the value checks */
#define KVN_OPT_STAMP     0x8000 /* work on the tfd:TimbreFiscalDigital stamp */
#define KVN_OPT_XMLTEXT   0x10000 /* the document argument is the document's own text */
#define KVN_OPT_LINES     0x20000 /* KVN_TableRows: one row per concept */

/* Error codes; functions return them negated (-6 for BAD_PARAM_ERROR). */
enum kvn_error_code {
    SUCCESS_ERROR = 0,
    OPEN_ERROR = 1,
    CREATE_ERROR = 2,
    READ_ERROR = 3,
    WRITE_ERROR = 4,
    MEMORY_ERROR = 5,
    BAD_PARAM_ERROR = 6,
    BAD_FORMAT_ERROR = 7,
    INVALID_DATA_ERROR = 8,
    EOF_ERROR = 9,
    DECRYPT_ERROR = 15,
    MISSING_ERROR = 16,
    BAD_FLAG_ERROR = 17,
    NOT_SUPPORTED_ERROR = 19,
    NO_DATA_ERROR = 20,
    NO_MATCH_ERROR = 21,
    SIGNATURE_ERROR = 22,
    BAD_LENGTH_ERROR = 26,
    BAD_XML_ERROR = 27,
    XML_FACET_ERROR = 28,
    BAD_QUERY_ERROR = 29,
    SHORT_BUF_ERROR = 30,
    BAD_CERT_ERROR = 101,
    PARSER_FAILED_ERROR = 102,
    VALIDATOR_FAIL_ERROR = 103,
    BAD_DTD_ERROR = 104,
    MISC_ERROR = 9999
};

/* Library identity and diagnostics. */
KVN_API int KVN_Version(void);
KVN_API int KVN_CompileTime(char* out, int outlen);
KVN_API int KVN_ModuleName(char* out, int outlen, int options);
KVN_API int KVN_PKIVersion(void);
KVN_API int KVN_PKICompileTime(char* out, int outlen);
KVN_API int KVN_PKIModuleName(char* out, int outlen);
KVN_API int KVN_LastError(char* out, int outlen);
KVN_API int KVN_ErrorLookup(char* out, int outlen, int errorCode);

/* Documents. */
KVN_API int KVN_FixBOM(const char* outputFile, const char* inputFile);
/* Version of the document as trunc(version x 10), except 2.0 -> 2 and 3.0 -> 3. */
KVN_API int KVN_XmlReceiptVersion(const char* xmlFile);
/* Value of attribute attributeName of element elementName ("cfdi:Concepto[2]"); returns
   its full length even when out holds a cut copy. */
KVN_API int KVN_GetXmlAttribute(char* out, int outlen, const char* xmlFile, const char* attributeName,
                                const char* elementName);
/* The pipe string (cadena original) of the document, or of its stamp with KVN_OPT_STAMP;
   without a buffer, an upper bound of its length. */
KVN_API int KVN_MakePipeStringFromXml(char* out, int outlen, const char* xmlFile, int options);

/* Seal and verification. The seal (sello) is an RSA PKCS#1 v1.5 signature, in base64, over
 * the pipe string: SHA-1 by default, MD5 with KVN_OPT_MD5; always SHA-256 for CFDI 3.3 and
 * 4.0 (Sello, Certificado, NoCertificado), where KVN_OPT_MD5 gives -BAD_FLAG_ERROR.
 * KVN_OPT_STAMP works on the stamp's pipe string and selloSAT (SelloSAT in stamp 1.1);
 * KVN_OPT_LATIN1 takes the pipe string in Latin-1. */
/* Lower-case hex digest of the pipe string; returns 40 (SHA-1), 32 (MD5) or 64 (SHA-256). */
KVN_API int KVN_MakeDigestFromXml(char* out, int outlen, const char* xmlFile, int options);
/* The base64 seal made with the encrypted key file; returns its full length. */
KVN_API int KVN_MakeSignatureFromXml(char* out, int outlen, const char* xmlFile, const char* keyFile,
                                     const char* password);
KVN_API int KVN_MakeSignatureFromXmlEx(char* out, int outlen, const char* xmlFile, const char* keyFile,
                                       const char* password, int options);
/* Writes the signed document to outputFile (which may be xmlFile): sello filled with the
 * seal and, with a certificate (certFile may be null), certificado and noCertificado.
 * Up to 3.2 only attributes present on the root are filled; a 3.3 or 4.0 root that lacks
 * Sello, Certificado or NoCertificado gets them. UTF-8 with a byte-order mark unless
 * KVN_OPT_NOBOM. A regular outputFile (or the file a link names) is replaced only when the
 * whole document was written, keeping its mode and owner; a character device or a pipe is
 * written in place; a directory or other kind of file is refused. */
KVN_API int KVN_SignXml(const char* outputFile, const char* xmlFile, const char* keyFile, const char* password,
                        const char* certFile, int options);
/* 0 when the seal (selloSAT with KVN_OPT_STAMP) is valid. The certificate is certFile, or
 * the document's certificado when certFile is null or empty (required with KVN_OPT_STAMP). */
KVN_API int KVN_VerifySignature(const char* xmlFile, const char* certFile, int options);
/* Upper-case hex digest carried inside the seal; returns 40 (SHA-1), 32 (MD5) or 64 (SHA-256). */
KVN_API int KVN_ExtractDigestFromSignature(char* out, int outlen, const char* xmlFile, const char* certFile,
                                           int options);

/* Signing sessions. KVN_OpenSigner reads and decrypts the key once (and, when certFile is
 * not null, reads the certificate and checks that the key belongs to it) and returns a
 * positive session handle, or a negated error code with the same codes and messages as
 * KVN_SignXml for that key, password and certificate. The session signs any number of
 * documents, from any number of threads at once, exactly as KVN_SignXml and
 * KVN_MakeSignatureFromXmlEx do, until KVN_CloseSigner closes it (its key is wiped once
 * the calls using it have returned). A handle that names no open session (0, or one
 * already closed) gives -BAD_PARAM_ERROR and changes nothing, so closing twice is
 * harmless. */
KVN_API int KVN_OpenSigner(const char* keyFile, const char* password, const char* certFile);
KVN_API int KVN_CloseSigner(int signer);
/* KVN_SignXml with the session's key and certificate. */
KVN_API int KVN_SignXmlWithSigner(int signer, const char* outputFile, const char* xmlFile, int options);
/* KVN_MakeSignatureFromXmlEx with the session's key; returns the seal's full length. */
KVN_API int KVN_MakeSignatureWithSigner(char* out, int outlen, int signer, const char* xmlFile, int options);

/* Validation. Checks xmlFile against the DTD of its version (CFD 2.0/2.2, CFDI 3.0/3.2),
 * then against the value restrictions of its version (lengths, number and date forms, RFC
 * and CURP forms, enumerations); KVN_OPT_NOFACETS skips the second pass. Returns 0 when
 * the document is valid; otherwise a negative code, with one message per problem in
 * KVN_LastError: -BAD_XML_ERROR (DTD rules broken), -XML_FACET_ERROR (value restrictions
 * broken), -BAD_DTD_ERROR (not well-formed), -NOT_SUPPORTED_ERROR (another version).
 * CFDI 3.3 and 4.0 are checked as KVN_ValidateXmlFindings checks them (the catalogs of
 * KELVANE_CATALOGS, else the snapshot), stopping at the first error: 0 when there is none
 * (warnings of checks not made do not count); else its message, "XML validation error/
 * Error al validar XML: [path/@attribute] message (Line/numero de linea: n)", and
 * -BAD_XML_ERROR for a fault of structure or -XML_FACET_ERROR for a fault of a value;
 * -BAD_XML_ERROR also for a document that is not well-formed. */
KVN_API int KVN_ValidateXml(const char* xmlFile, int options);

/* Validation of CFDI 3.3 and 4.0 (KVN_ValidateXml answers the first error of these; this
 * function answers every finding). The document is checked against the tax authority's
 * schemas of its version and of the complements it carries (Addenda content is not
 * checked), and the values of catalog types against the catalogs at the document's Fecha.
 * catalogDir names a folder of catalogs in the CSV layout of the built-in snapshot whose
 * files replace the snapshot's of the same name (the only source of c_ClaveProdServ,
 * c_CodigoPostal, c_Colonia and c_NumPedimentoAduana); null or "" takes the folder named by
 * the environment variable KELVANE_CATALOGS when it is set, else the snapshot alone.
 * KVN_OPT_NOFACETS leaves values (types, facets, fixed values, catalogs) unchecked.
 *
 * Writes one line per finding, ended by LF, with eight fields separated by TAB:
 *   kind      schema | catalog | not-checked
 *   code      e.g. XSD-ATTRIBUTE-MISSING, XSD-VALUE-PATTERN, CATALOG-VALUE, CATALOG-ABSENT
 *   severity  error (the document is invalid) | warning (something was not checked)
 *   line      line of the document
 *   path      the element, e.g. /cfdi:Comprobante/cfdi:Conceptos/cfdi:Concepto[2]
 *   attribute the attribute's name, empty when the finding is about the element
 *   value     the value concerned, may be empty
 *   message   English/Spanish
 * A backslash, TAB, LF or CR inside a field is written \, 	, 
 or 
. The document is
 * valid when no line has severity error. Returns the length of the whole text (0: no
 * finding), also when the buffer was too short for it; a negative code when the document
 * could not be validated: -OPEN_ERROR, -BAD_XML_ERROR (not well-formed, or nested deeper
 * than 256 levels), -NOT_SUPPORTED_ERROR (a version without compiled schemas, CFD 2.x and
 * CFDI 3.0/3.2 included: validate those with KVN_ValidateXml), and for an unusable catalog
 * folder -OPEN_ERROR (missing or unreadable), -READ_ERROR or -BAD_FORMAT_ERROR (a malformed
 * catalog file: the message names the file and line). */
KVN_API int KVN_ValidateXmlFindings(char* out, int outlen, const char* xmlFile, const char* catalogDir,
                                    int options);

/* Invoices as data. The document argument is a file name, or with KVN_OPT_XMLTEXT the
 * document's own text (NUL-terminated; as a file's bytes would be read).
 * KVN_TableRows writes a header line of column names and the rows of the document as text:
 * fields separated by TAB, each row ended by LF, an absent value written \N, and a
 * backslash, TAB, LF or CR inside a value written \\, \t, \n, \r. One row per document,
 * or with KVN_OPT_LINES one per concept. A document that cannot be read gives one row
 * with status "error" and the reason, not a failure. Returns the length of the whole text,
 * also when the buffer was too short for it. */
KVN_API int KVN_TableRows(char* out, int outlen, const char* xmlFile, int options);
/* The document as one JSON object (UTF-8, ended by LF): {"root": element}, an element being
 * an object of its attributes ("@name": "value" as written), its text ("#text") and its
 * child elements ("prefix:Local", the tax authority's prefix for its namespaces), an array
 * for every element its schema lets repeat. Returns the length of the whole text, also
 * when the buffer was too short; -OPEN_ERROR, or -BAD_XML_ERROR for a document that is
 * not well-formed or nests deeper than 256 elements. */
KVN_API int KVN_XmlToJson(char* out, int outlen, const char* xmlFile, int options);

/* Certificates and keys. A certificate argument is a file name (DER or PEM), PEM text,
 * base64 text, or a signed invoice whose certificado attribute stands in for it. */
KVN_API int KVN_GetCertNumber(char* out, int outlen, const char* certFile);
KVN_API int KVN_GetCertExpiry(char* out, int outlen, const char* certFile, int options);
KVN_API int KVN_GetCertAsString(char* out, int outlen, const char* certFile);
KVN_API int KVN_QueryCert(char* out, int outlen, const char* certFile, const char* query, int options);
KVN_API int KVN_CheckKeyAndCert(const char* keyFile, const char* password, const char* certFile);
KVN_API int KVN_GetKeyAsString(char* out, int outlen, const char* keyFile, const char* password, int options);

/* PKCS#12. Writes the key and certificate as a PFX file of base64 lines; the PFX password
 * is pfxPassword, or the key's password when pfxPassword is empty. A new file is readable
 * by its owner only (mode 0600); an existing one loses its group and other access. */
KVN_API int KVN_WritePfxFile(const char* pfxFile, const char* pfxPassword, const char* keyFile,
                             const char* password, const char* certFile, int options);

#ifdef __cplusplus
}
#endif

#endif /* KELVANE_H */
