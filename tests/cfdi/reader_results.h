// The document readers' answers in the exports' shape (the value on success, the negated
// error code otherwise), so that one table column can list either.
#pragma once

#include <cstdio>

#include "base/error.h"
#include "cfdi/attribute_query.h"
#include "cfdi/pipe_string.h"
#include "cfdi/restrictions.h"
#include "cfdi/validate.h"
#include "support/answer.h"

namespace kvn::testing {

using kvn_test::Answer;

inline int VersionOf(const char* xmlFile) {
    int number = 0;
    Error e = VersionNumber(xmlFile, number);
    return Answer(e, number);
}

inline int PipeStringInto(char* out, int outlen, const char* xmlFile, int options) {
    int length = 0;
    Error e = MakePipeString(out, outlen, xmlFile, options, length);
    return Answer(e, length);
}

inline int QueryInto(char* out, int outlen, std::FILE* document, const char* attribute, const char* element) {
    int length = 0;
    Error e = QueryAttribute(out, outlen, document, attribute, element, length);
    return Answer(e, length);
}

inline int ViolationsOf(const char* xmlFile) {
    int violations = 0;
    Error e = CheckValueRestrictions(xmlFile, violations);
    return Answer(e, violations);
}

inline int StartTagsOf(const char* xmlFile, const char* dtdFile) {
    int startTags = 0;
    Error e = ValidateAgainstDtd(xmlFile, dtdFile, &startTags);
    return Answer(e, startTags);
}

}  // namespace kvn::testing
