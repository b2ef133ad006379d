#include "pki/pem.h"

#include <cstring>

#include "base/file.h"
#include "pki/base64.h"

namespace kvn {
namespace {

constexpr char kBegin[] = "-----BEGIN";
constexpr char kEnd[] = "-----END";
constexpr char kDashes[] = "-----";

// Position of needle in text[from..length), or length when absent.
std::size_t Find(const char* text, std::size_t length, std::size_t from, const char* needle) {
    std::size_t n = std::strlen(needle);
    for (std::size_t i = from; i + n <= length; ++i) {
        if (std::memcmp(text + i, needle, n) == 0) return i;
    }
    return length;
}

bool IsSpace(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Decodes a base64 body and reads its first element. BAD_FORMAT_ERROR when it holds none.
Error ReadBody(const char* body, std::size_t length, AsnList& out) {
    SecureString text(body, length);
    return asn_ReadBase64(text.c_str(), out);
}

bool LooksLikeBareBase64(const char* s, std::size_t length, std::size_t minimum) {
    if (length <= minimum || s[0] != 'M') return false;
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (!b64_IsAlphabet(c) && c != '=' && !IsSpace(c)) return false;
    }
    return true;
}

}  // namespace

bool pem_FindBody(const char* text, std::size_t length, std::size_t& start, std::size_t& bodyLength) {
    start = bodyLength = 0;
    if (!text || length < 31) return false;
    std::size_t begin = Find(text, length, 0, kBegin);
    if (begin == length) return false;
    std::size_t dashes = Find(text, length, begin + 10, kDashes);
    if (dashes == length) return false;
    std::size_t body = dashes + 5;
    while (body < length && IsSpace(static_cast<unsigned char>(text[body]))) ++body;
    std::size_t end = Find(text, length, body, kEnd);
    if (end == length) end = Find(text, length, body, kBegin);
    if (end == length) return false;
    start = body;
    bodyLength = end - body;
    return true;
}

bool pem_IsPemString(const char* text) {
    if (!text || text[0] != '-') return false;
    std::size_t length = std::strlen(text);
    if (length < 32 || Find(text, length, 0, kBegin) == length) return false;
    std::size_t start, body;
    return pem_FindBody(text, length, start, body) && body > 0;
}

bool pem_Format(SecureString& out, const std::uint8_t* data, std::size_t length, const char* label,
                int lineLength, bool lfOnly) {
    out.clear();
    if (!data || length == 0) return false;
    if (lineLength < 4) lineLength = 64;
    lineLength -= lineLength % 4;
    const char* eol = lfOnly ? "\n" : "\r\n";
    const bool armour = label && *label;
    if (armour) {
        out += "-----BEGIN ";
        out += label;
        out += "-----";
        out += eol;
    }
    const std::size_t perLine = static_cast<std::size_t>(lineLength) / 4 * 3;
    SecureString line;
    for (std::size_t i = 0; i < length; i += perLine) {
        std::size_t take = length - i < perLine ? length - i : perLine;
        b64_EncodeTo(line, data + i, take);
        out += line;
        out += eol;
    }
    if (armour) {
        out += "-----END ";
        out += label;
        out += "-----";
        out += eol;
    }
    return true;
}

Error pem_Write(std::FILE* f, const std::uint8_t* data, std::size_t length, const char* label, int lineLength,
                bool lfOnly) {
    SecureString text;
    if (!f) return Error::BAD_PARAM_ERROR;
    if (!pem_Format(text, data, length, label, lineLength, lfOnly)) return Error::NO_DATA_ERROR;
    if (std::fwrite(text.data(), 1, text.size(), f) != text.size()) return Error::WRITE_ERROR;
    return kOk;
}

namespace {

// Reads source and writes its PEM text to destination through a replacing output.
Error ConvertInto(const char* destination, const char* source, const char* label, int lineLength, int options) {
    SecureBytes raw;
    {
        FilePtr in = OpenForReading(source);
        Bytes data;
        if (!in || !ReadAll(in.get(), data)) return Error::OPEN_ERROR;
        raw.assign(data.begin(), data.end());
        ewipe(data.data(), data.size());
    }
    SecureString text;
    if (!pem_Format(text, raw.data(), raw.size(), label, lineLength, (options & kPemLfOnly) != 0)) {
        return Error::WRITE_ERROR;
    }
    ReplacingOutput out;
    if (!out.Open(destination)) return Error::CREATE_ERROR;
    if (!out.Write(text.data(), text.size()) || !out.Commit()) return Error::WRITE_ERROR;
    return kOk;
}

}  // namespace

Error pem_ConvertFile(const char* fileName, const char* label, int lineLength, int options) {
    if (!fileName || !*fileName) return Error::BAD_PARAM_ERROR;
    return ConvertInto(fileName, fileName, label, lineLength, options);
}

Error pem_CopyAndConvert(const char* destination, const char* source, const char* label, int lineLength,
                         int options) {
    if (!destination || !*destination || !source || !*source) return Error::BAD_PARAM_ERROR;
    return ConvertInto(destination, source, label, lineLength, options);
}

namespace {

// The element of an open file: DER, or the body of its first PEM block. BAD_FORMAT_ERROR
// when it holds none.
Error ReadOpenFile(std::FILE* f, AsnList& out) {
    out.reset();
    int first = std::fgetc(f);
    if (first < 0 || std::fseek(f, 0, SEEK_SET) != 0) return Error::BAD_FORMAT_ERROR;
    if (first == 0x30) return asn_ReadFile(f, out);
    Bytes text;
    if (!ReadAll(f, text)) return Error::BAD_FORMAT_ERROR;
    std::size_t start, length;
    if (!pem_FindBody(reinterpret_cast<const char*>(text.data()), text.size(), start, length)) {
        return Error::BAD_FORMAT_ERROR;
    }
    return ReadBody(reinterpret_cast<const char*>(text.data()) + start, length, out);
}

}  // namespace

Error pki_ReadFileObject(AsnList& out, const char* fileName) {
    out.reset();
    FilePtr f = fileName && *fileName ? OpenForReading(fileName) : nullptr;
    if (!f) return Error::OPEN_ERROR;
    return ReadOpenFile(f.get(), out);
}

Error pki_ReadObject(AsnList& out, const char* argument, std::size_t minimum) {
    out.reset();
    if (!argument || !*argument) return Error::BAD_PARAM_ERROR;
    std::size_t length = std::strlen(argument);
    if (LooksLikeBareBase64(argument, length, minimum) && !Failed(asn_ReadBase64(argument, out))) return kOk;
    std::size_t start, body;
    if (pem_FindBody(argument, length, start, body) && !Failed(ReadBody(argument + start, body, out))) return kOk;
    return pki_ReadFileObject(out, argument);
}

}  // namespace kvn
