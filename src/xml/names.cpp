#include "xml/names.h"

namespace kvn {
namespace {

struct AsciiClasses {
    std::uint8_t t[128];
    constexpr AsciiClasses() : t() {
        for (int c = 0; c < 128; ++c) {
            bool start = c == ':' || c == '_' || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
            bool name = start || c == '-' || c == '.' || (c >= '0' && c <= '9');
            bool space = c == ' ' || c == '\t' || c == '\n' || c == '\r';
            t[c] = static_cast<std::uint8_t>((start ? 1 : 0) | (name ? 2 : 0) | (space ? 4 : 0));
        }
    }
};
constexpr AsciiClasses kClasses;

bool AllNameChars(const unsigned char* p, bool firstIsStart) {
    bool first = true;
    while (*p) {
        std::size_t len = XmlSequenceLength(*p);
        for (std::size_t i = 1; i < len; ++i)
            if (!p[i]) return false;
        if (!XmlNameCharAt(p, len, first && firstIsStart)) return false;
        p += len;
        first = false;
    }
    return !first;
}

}  // namespace

const std::uint8_t kXmlAsciiClass[128] = {
#define ROW(i) kClasses.t[i], kClasses.t[i + 1], kClasses.t[i + 2], kClasses.t[i + 3], \
               kClasses.t[i + 4], kClasses.t[i + 5], kClasses.t[i + 6], kClasses.t[i + 7]
    ROW(0), ROW(8), ROW(16), ROW(24), ROW(32), ROW(40), ROW(48), ROW(56),
    ROW(64), ROW(72), ROW(80), ROW(88), ROW(96), ROW(104), ROW(112), ROW(120),
#undef ROW
};

bool XmlIsName(const char* s) {
    return AllNameChars(reinterpret_cast<const unsigned char*>(s), true);
}

bool XmlIsNmtoken(const char* s) {
    return AllNameChars(reinterpret_cast<const unsigned char*>(s), false);
}

}  // namespace kvn
