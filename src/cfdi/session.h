// A signing session: the signer's key read, decrypted and prepared once, and the
// certificate read and checked against it once, for any number of documents.
//
// Signing one document through KVN_SignXml reads and decrypts the key file each time
// (key derivation and a cipher pass) and sets up the key's arithmetic again; a session
// pays for that once. Its documents are signed exactly as KVN_SignXml and
// KVN_MakeSignatureFromXmlEx sign them, through the same code (cfdi/sign_document.h,
// cfdi/seal.h).
//
// Nothing in a session changes once it is open, so any number of threads may sign with
// one session at once, without locks. Its key is wiped when it is released.
#pragma once

#include "base/error.h"
#include "base/memory.h"
#include "cfdi/seal.h"
#include "cfdi/sign_document.h"

namespace kvn {

struct SigningSession {
    SigningKey key;
    bool hasCertificate = false;
    CertificateFields certificate;
};

// Opens a session: reads keyFile with password, then, when certFile is given, the
// certificate and the check that the key belongs to it; without a certificate the key
// makes one test signature. The errors and messages are KVN_SignXml's for the same key,
// password and certificate: "Cannot read private key/..." with the key reader's error, the
// certificate's messages, "Private key does not match key in certificate/..." with
// NO_MATCH_ERROR (another key) or INVALID_DATA_ERROR (a damaged key), and without a
// certificate "Signature encryption error/..." with INVALID_DATA_ERROR for a damaged key.
// Where one call could fail for more than one reason, the key is read first, then the
// certificate.
Error OpenSigningSession(SigningSession& session, const char* keyFile, const char* password, const char* certFile);

// KVN_SignXml for one document with the session's key and certificate.
Error SessionSignDocument(const SigningSession& session, const char* outputFile, const char* xmlFile, int options);

// KVN_MakeSignatureFromXmlEx for one document with the session's key: the seal of the
// document as it stands (a certificate of the session is not written into its pipe string).
Error SessionMakeSeal(const SigningSession& session, String& seal, const char* xmlFile, int options);

}  // namespace kvn
