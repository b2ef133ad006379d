// The DTD validator: sits between the parser and the application, checks every start tag,
// end tag, text run and attribute against the declarations read by the parser, and then
// forwards each event to the application's handlers.
//
// Use: DtdValidatorCreate; optionally replace entries of `hooks` by wrappers that call the
// Validator* functions themselves; set the parser's handlers, options and the validator's
// appState; DtdValidate; DtdValidatorFree. During DtdValidate the parser's userData is the
// validator, so the application's handlers (and the hooks) receive it first.
//
// Validation errors (the messages below) set the parser's error code to 300
// (XML_ERROR_VALIDATION). With parser option XML_OPT_CONTINUE_ON_VALIDITY each one is
// handed to the parser's errorHandler and cleared, so the parse goes on; without it the
// first one stops the parse with code 300 in place.
#pragma once

#include <cstdint>

#include "xml/parser.h"

namespace kvn {

// Message numbers of validation errors.
enum ValidatorMessage : int {
    VALID_NO_MEMORY = 1,           // "Out of memory" (never reported: exhaustion propagates)
    VALID_ELEMENT_NOT_ALLOWED = 2, // content model of parent refuses the element (suggestions)
    VALID_UNDECLARED_ELEMENT = 3,
    VALID_NO_CHARACTER_DATA = 4,
    VALID_CANNOT_END = 5,          // content model incomplete at the end tag (suggestions)
    VALID_MISSING_ATTRIBUTE = 6,
    VALID_UNDECLARED_ATTRIBUTE = 7,
    VALID_BAD_VALUE = 8,           // suggestions for enumerated types
    VALID_WRONG_ROOT = 9,
    VALID_DUPLICATE_ID = 10,
    VALID_UNRESOLVED_IDREF = 11,
};

// The four events a validator checks. The validator installs `hooks` into the parser;
// an application may replace an entry by a wrapper that ends by calling the matching
// Validator* function below.
struct ValidatorHooks {
    int (*startElement)(void* user, const char* uri, const char* localName, const char* qname,
                        XmlAttributes* attributes);
    int (*endElement)(void* user, const char* uri, const char* localName, const char* qname);
    int (*characters)(void* user, const char* text, int len);
    int (*ignorableWhitespace)(void* user, const char* text, int len);
};

struct ValidatorState;

struct DtdValidator {
    XmlParser* parser = nullptr;   // the parser of the running DtdValidate, else null
    XmlHandlers application{};     // the application's handlers saved by DtdValidate
    ValidatorHooks hooks{};        // what DtdValidate installs for the four checked events
    void* appState = nullptr;      // the application's own data
    int errorNumber = 0;           // last validation message number (0: none yet)
    int errorLine = 0;
    int errorColumn = 0;
    char message[128] = {};        // last validation message, with its suggestions
    ValidatorState* state = nullptr;
};

// Never null (allocation failure propagates as std::bad_alloc).
DtdValidator* DtdValidatorCreate();
void DtdValidatorFree(DtdValidator* validator) noexcept;

// Parses and validates one document (arguments as XmlParse). Returns kOk when the parse
// ended with error code 0, else BAD_XML_ERROR. Each run starts from a clean declaration list,
// validation stack and ID table; references to IDs that were never defined are reported
// after a successful parse.
Error DtdValidate(DtdValidator* validator, XmlParser* parser, XmlReadFn readFn, void* readArg,
                const char* encodingName);

// The checks; each calls the application's handler afterwards. `user` is the validator.
int ValidatorStartElement(void* user, const char* uri, const char* localName, const char* qname,
                          XmlAttributes* attributes);
int ValidatorEndElement(void* user, const char* uri, const char* localName, const char* qname);
int ValidatorCharacters(void* user, const char* text, int len);
int ValidatorIgnorableWhitespace(void* user, const char* text, int len);

// The declarations a run has read and compiled, taken out of the validator (from an endDTD
// handler of the application, which runs once they are compiled); they point into the
// parser's declaration records. For xml/compiled_dtd.cpp.
struct ValidatorDeclarations;
ValidatorDeclarations* ValidatorTakeDeclarations(DtdValidator* validator);
void ValidatorDeclarationsFree(ValidatorDeclarations* declarations) noexcept;

// Marks an attribute of the current start tag as checked, so that the next
// ValidatorStartElement leaves it alone (its value is restored before the application
// sees it).
void ValidatorExemptAttribute(DtdValidator* validator, XmlAttribute* attribute) noexcept;

}  // namespace kvn
