#include "library.h"

#include <cstdlib>
#include <vector>

#include "kelvane.h"
#include "sign_checks.h"

namespace cli {
namespace {

struct NamedCode {
    int code;
    const char* name;
};

// The codes of the public header's enum, in the library's table order.
constexpr NamedCode kErrorNames[] = {
    {SUCCESS_ERROR, "SUCCESS_ERROR"},         {OPEN_ERROR, "OPEN_ERROR"},
    {CREATE_ERROR, "CREATE_ERROR"},           {READ_ERROR, "READ_ERROR"},
    {WRITE_ERROR, "WRITE_ERROR"},             {MEMORY_ERROR, "MEMORY_ERROR"},
    {BAD_PARAM_ERROR, "BAD_PARAM_ERROR"},     {BAD_FORMAT_ERROR, "BAD_FORMAT_ERROR"},
    {INVALID_DATA_ERROR, "INVALID_DATA_ERROR"}, {EOF_ERROR, "EOF_ERROR"},
    {DECRYPT_ERROR, "DECRYPT_ERROR"},         {MISSING_ERROR, "MISSING_ERROR"},
    {BAD_FLAG_ERROR, "BAD_FLAG_ERROR"},       {NOT_SUPPORTED_ERROR, "NOT_SUPPORTED_ERROR"},
    {NO_DATA_ERROR, "NO_DATA_ERROR"},         {NO_MATCH_ERROR, "NO_MATCH_ERROR"},
    {SIGNATURE_ERROR, "SIGNATURE_ERROR"},     {BAD_LENGTH_ERROR, "BAD_LENGTH_ERROR"},
    {BAD_XML_ERROR, "BAD_XML_ERROR"},         {XML_FACET_ERROR, "XML_FACET_ERROR"},
    {BAD_QUERY_ERROR, "BAD_QUERY_ERROR"},     {SHORT_BUF_ERROR, "SHORT_BUF_ERROR"},
    {BAD_CERT_ERROR, "BAD_CERT_ERROR"},       {PARSER_FAILED_ERROR, "PARSER_FAILED_ERROR"},
    {VALIDATOR_FAIL_ERROR, "VALIDATOR_FAIL_ERROR"}, {BAD_DTD_ERROR, "BAD_DTD_ERROR"},
    {MISC_ERROR, "MISC_ERROR"},
};

// The library's messages as recorded, less one that only repeats a failed read: after a
// document that cannot be read or parsed, the pipe string also reports "Version '-2.7'
// not supported" (the read's error code shown as a version), which tells a reader nothing.
std::string WithoutFailedVersion(const std::string& text) {
    static const std::string kFailedVersion = "Version '-";
    std::string kept;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find("; ", start);
        if (end == std::string::npos) end = text.size();
        std::string message = text.substr(start, end - start);
        if (message.compare(0, kFailedVersion.size(), kFailedVersion) != 0) {
            if (!kept.empty()) kept += "; ";
            kept += message;
        }
        start = end + 2;
    }
    return kept.empty() ? text : kept;
}

Outcome Failure(int code) {
    Outcome o;
    o.code = code;
    o.message = WithoutFailedVersion(LastErrorText());
    if (o.message.empty()) o.message = ErrorMessage(code);
    if (o.message.empty()) o.message = "error " + std::to_string(code);
    return o;
}

}  // namespace

std::string LastErrorText() {
    int n = KVN_LastError(nullptr, 0);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    int got = KVN_LastError(text.data(), n);
    text.resize(got > 0 && got <= n ? static_cast<size_t>(got) : 0);
    return text;
}

std::string ErrorMessage(int code) {
    int n = KVN_ErrorLookup(nullptr, 0, code);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    int got = KVN_ErrorLookup(text.data(), n, code);
    text.resize(got > 0 && got <= n ? static_cast<size_t>(got) : 0);
    return text;
}

std::string ErrorName(int code) {
    int positive = code < 0 ? -code : code;
    if (positive == kCertRefused) return "CERT_REFUSED";
    if (positive == kInvalidRefused) return "INVALID_DOCUMENT";
    for (const NamedCode& e : kErrorNames)
        if (e.code == positive) return e.name;
    return "ERROR_" + std::to_string(positive);
}

bool ParseErrorCode(const std::string& text, int* code) {
    for (const NamedCode& e : kErrorNames) {
        if (text == e.name) {
            *code = e.code;
            return true;
        }
    }
    if (text.empty()) return false;
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || v < -1000000 || v > 1000000) return false;
    *code = static_cast<int>(v);
    return true;
}

const std::vector<int>& AllErrorCodes() {
    static const std::vector<int> codes = [] {
        std::vector<int> v;
        for (const NamedCode& e : kErrorNames) v.push_back(e.code);
        return v;
    }();
    return codes;
}

namespace {

// The two-call protocol: the length first, then the answer into a buffer of that size.
Outcome CallForTextTwice(const BufferCall& call) {
    int needed = call(nullptr, 0);
    if (needed < 0) return Failure(needed);
    Outcome o;
    if (needed == 0) return o;
    std::string buffer(static_cast<size_t>(needed) + 1, '\0');
    int got = call(buffer.data(), needed);
    if (got < 0) return Failure(got);
    // Some exports return the full length even when they cut the copy; the buffer holds
    // at most `needed` characters either way.
    buffer.resize(static_cast<size_t>(got < needed ? got : needed));
    o.result = std::move(buffer);
    return o;
}

}  // namespace

// Most answers are short, and many exports read and parse a document (or validate it, or
// make a seal) on each call: asking for the length first would do all that twice. So the
// first call gets a buffer that usually holds the answer; an answer that fills it (cut, or
// exactly as long) or is refused as too long for it is asked for again the usual way.
Outcome CallForText(const BufferCall& call) {
    char buffer[8192];
    const int capacity = static_cast<int>(sizeof buffer) - 1;
    const int got = call(buffer, capacity);
    if (got == -SHORT_BUF_ERROR || got >= capacity) return CallForTextTwice(call);
    if (got < 0) return Failure(got);
    Outcome o;
    o.result.assign(buffer, static_cast<size_t>(got));
    return o;
}

Outcome CallForStatus(int result) {
    if (result < 0) return Failure(result);
    return Outcome{};
}

}  // namespace cli
