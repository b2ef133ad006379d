#include "xml/names.h"

namespace kvn {
namespace {

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
#define ROW(i) kXmlByteClass.bits[i], kXmlByteClass.bits[i + 1], kXmlByteClass.bits[i + 2], \
               kXmlByteClass.bits[i + 3], kXmlByteClass.bits[i + 4], kXmlByteClass.bits[i + 5], \
               kXmlByteClass.bits[i + 6], kXmlByteClass.bits[i + 7]
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
