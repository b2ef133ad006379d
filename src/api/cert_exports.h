// The key-and-certificate check shared by the certificate exports and the PFX writer.
#pragma once

#include "base/error.h"
#include "base/memory.h"

namespace kvn {

// Reads the key file with the password and checks it against the certificate (or the
// certificate of a signed document), recording the exports' messages. kOk when they
// belong together, else the error of the failing step.
Error CheckKeyAndCert(const char* keyFile, const char* password, const char* certFile);

// The certificate named by certFile as base64 text: the certificate itself, or the one a
// signed document carries. False when there is none (nothing recorded).
bool ResolveCertificate(String& certificate, const char* certFile);

}  // namespace kvn
