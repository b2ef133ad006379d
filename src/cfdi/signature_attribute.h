// Readers of the signature-related attributes of a document: the seal (sello), the
// certificate (certificado) and the stamp's seal (selloSAT).
#pragma once

#include "base/memory.h"

namespace kvn {

// Reads attribute `attributeName` of the root Comprobante (cfdi:Comprobante in a version 3
// document; a document whose version cannot be told counts as version 2) and removes every
// space, tab, line feed and carriage return from it, so base64 text wrapped over lines
// becomes one line. True with the value when found; false when the document has no such
// attribute, an empty one, or cannot be read (a document that cannot be opened records
// "Cannot open file '%s'/..." itself).
bool ReadSignatureAttribute(const char* xmlFile, const char* attributeName, String& value);

// Reads selloSAT of the first tfd:TimbreFiscalDigital, as written. True with the value when
// found; false otherwise (a document that cannot be opened records its message).
bool ReadStampSignature(const char* xmlFile, String& value);

}  // namespace kvn
