#include "pki/certinfo.h"

#include <cstring>

#include "pki/base64.h"

namespace kvn {

Error cert_NumberFromHex(char* out, int outlen, const String& hex, int& count) {
    count = 0;
    Bytes bytes(hex.size() / 2 + 1);
    const int decoded = hex_Decode(bytes.data(), bytes.size(), hex.c_str());
    // Every byte of the serial, whatever part of it is asked for: a zero byte would cut the
    // number short in C, and nothing but printable ASCII is a certificate number.
    for (int i = 0; i < decoded; ++i) {
        const std::uint8_t b = bytes[static_cast<std::size_t>(i)];
        if (b < 0x20 || b > 0x7E) return Error::BAD_FORMAT_ERROR;
    }
    const bool wantsLength = !out || outlen < 1;
    const int shown = wantsLength || decoded < outlen ? decoded : outlen;
    if (!wantsLength) {
        std::memcpy(out, bytes.data(), static_cast<std::size_t>(shown));
        out[shown] = '\0';
    }
    count = shown;
    return kOk;
}

namespace {

// One label=value pair of a name text, starting at pos; false at the end.
bool NextPair(const String& s, std::size_t& pos, String& label, String& value) {
    while (pos < s.size() && s[pos] == ';') ++pos;
    const std::size_t eq = s.find('=', pos);
    if (pos >= s.size() || eq == String::npos) return false;
    label.assign(s, pos, eq - pos);
    std::size_t i = eq + 1;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    value.clear();
    if (i < s.size() && s[i] == '\'') {
        for (++i; i < s.size() && s[i] != '\''; ++i) {
            if (s[i] == '\\' && i + 1 < s.size()) ++i;
            value += s[i];
        }
        if (i < s.size()) ++i;  // the closing quote
        while (i < s.size() && s[i] != ';') ++i;
    } else {
        const std::size_t end = s.find(';', i);
        const std::size_t stop = end == String::npos ? s.size() : end;
        value.assign(s, i, stop - i);
        i = stop;
    }
    pos = i;
    return true;
}

void FirstWord(String& word, const String& value) {
    std::size_t i = 0;
    while (i < value.size() && (value[i] == '/' || value[i] == ' ')) ++i;
    std::size_t end = i;
    while (end < value.size() && value[end] != '/' && value[end] != ' ') ++end;
    word.assign(value, i, end - i);
}

}  // namespace

void cert_SubjectField(String& answer, const String& subject, cert_Field field) {
    answer.clear();
    String label, value;
    for (std::size_t pos = 0; NextPair(subject, pos, label, value);) {
        if (field == cert_Field::Rfc && (label == "2.5.4.45" || label == "uniqueIdentifier")) {
            FirstWord(answer, value);
            return;
        }
        if (field == cert_Field::OrganizationName && (label == "O" || label == "organizationName")) {
            answer = value;
            return;
        }
    }
}

}  // namespace kvn
