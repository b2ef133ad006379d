// Element lists: release, navigation, subtree copies and the value readers.
#include <cstdio>
#include <cstring>

#include "pki/asn1.h"
#include "pki/trace.h"

namespace kvn {

void asn_Free(asn_Node** list) noexcept {
    if (!list || !*list) return;
    asn_Node* n = *list;
    *list = nullptr;
    if (n->prev) return;  // not a head: owned by the list it is linked into
    while (n) {
        asn_Node* next = n->next;
        if (n->content) {
            ewipe(n->content, n->length);
            efree(n->content);
        }
        ewipe(n, sizeof *n);
        efree(n);
        n = next;
    }
}

void asn_Wipe(asn_Node* list) noexcept {
    for (asn_Node* n = list; n; n = n->next) {
        if (n->content) ewipe(n->content, n->length);
    }
}

// ---- Navigation ------------------------------------------------------------------------

asn_Node* asn_FindTag(asn_Node* from, std::uint32_t tag) {
    for (asn_Node* n = from ? from->next : nullptr; n; n = n->next) {
        if (n->tag == tag) return n;
    }
    return nullptr;
}

asn_Node* asn_FindTagLevel(asn_Node* from, std::uint32_t tag, std::uint32_t level) {
    for (asn_Node* n = from ? from->next : nullptr; n; n = n->next) {
        if (n->tag == tag && n->level == level) return n;
    }
    return nullptr;
}

asn_Node* asn_NthAtLevel(asn_Node* from, int n, std::uint32_t level) {
    if (n < 1) return from;
    for (asn_Node* p = from ? from->next : nullptr; p; p = p->next) {
        if (p->level == level && --n == 0) return p;
    }
    return nullptr;
}

asn_Node* asn_NthTagLevel(asn_Node* from, std::uint32_t tag, int n, std::uint32_t level) {
    if (n < 1) return from;
    for (asn_Node* p = from ? from->next : nullptr; p; p = p->next) {
        if (p->tag == tag && p->level == level && --n == 0) return p;
    }
    return nullptr;
}

AsnList asn_CopySubtree(const asn_Node* node) {
    AsnList copy;
    if (!node) return copy;
    asn_Node* tail = nullptr;
    const std::uint32_t base = node->level;
    for (const asn_Node* p = node; p && (p == node || p->level > base); p = p->next) {
        auto* n = static_cast<asn_Node*>(ecalloc(1, sizeof(asn_Node)));
        *n = *p;
        n->next = nullptr;
        n->prev = tail;
        n->content = nullptr;
        n->level = p->level - base;
        if (tail) {
            tail->next = n;
        } else {
            copy = AsnList(n);
        }
        tail = n;
        if (p->content && p->length) {
            n->content = static_cast<std::uint8_t*>(emalloc(p->length));
            std::memcpy(n->content, p->content, p->length);
        }
    }
    return copy;
}

AsnList asn_Extract(asn_Node* list, std::uint32_t tag, int n, int level) {
    if (!list) return AsnList();
    asn_Node* found = list;
    if (n >= 1) {
        found = nullptr;
        for (asn_Node* p = list->next; p; p = p->next) {
            if (p->tag != tag) continue;
            if (level >= 0 && p->level != static_cast<std::uint32_t>(level)) continue;
            if (--n == 0) {
                found = p;
                break;
            }
        }
    }
    return asn_CopySubtree(found);
}

// ---- Values ----------------------------------------------------------------------------

std::uint32_t asn_GetUint(const asn_Node* n) {
    std::uint32_t v = 0;
    if (!n || !n->content) return 0;
    for (std::uint32_t i = 0; i < n->length; ++i) v = (v << 8) | n->content[i];
    return v;
}

Error asn_GetBits(const asn_Node* n, SecureBytes& out) {
    if (!n || n->tag != kTagBitString) return Error::BAD_FORMAT_ERROR;
    if (n->cls & kAsnConstructed) {
        asn_Trace("ASN.1 internal error: constructed BITSTRING not supported");
        return Error::BAD_FORMAT_ERROR;
    }
    if (n->length < 1 || !n->content) return Error::BAD_FORMAT_ERROR;
    out.assign(n->content + 1, n->content + n->length);
    unsigned unused = n->content[0];
    if (!out.empty() && unused >= 1 && unused <= 7) out.back() &= static_cast<std::uint8_t>(0xFF << unused);
    return kOk;
}

Error asn_GetOidText(const asn_Node* n, char* out, std::size_t capacity) {
    if (!n || n->tag != kTagOid || n->length > kOidMaxBytes) return Error::BAD_FORMAT_ERROR;
    char text[256];
    std::size_t len = 0;
    if (n->length > 0 && n->content) {
        unsigned b = n->content[0];
        unsigned x = b / 40 > 2 ? 2 : b / 40;
        unsigned y = b - 40 * x;
        len = static_cast<std::size_t>(std::snprintf(text, sizeof text, "%u.%u", x, y));
        unsigned long long arc = 0;
        for (std::uint32_t i = 1; i < n->length; ++i) {
            arc = (arc << 7) | (n->content[i] & 0x7F);
            if (n->content[i] & 0x80) continue;
            int w = std::snprintf(text + len, sizeof text - len, ".%llu", arc);
            if (w < 0 || static_cast<std::size_t>(w) >= sizeof text - len) return Error::BAD_FORMAT_ERROR;
            len += static_cast<std::size_t>(w);
            arc = 0;
        }
    }
    text[len] = '\0';
    if (out && capacity > 0) {
        std::size_t take = len < capacity - 1 ? len : capacity - 1;
        std::memcpy(out, text, take);
        out[take] = '\0';
    }
    return kOk;
}

Error asn_GetOid(const asn_Node* n, oid_Record& rec) {
    std::memset(&rec, 0, sizeof rec);
    if (!n || n->tag != kTagOid) return Error::BAD_FORMAT_ERROR;
    // A longer identifier than the record holds is simply unknown.
    if (n->length == 0 || n->length > kOidMaxBytes || !n->content) return kOk;
    std::memcpy(rec.bytes, n->content, n->length);
    rec.count = static_cast<int>(n->length);
    (void)oid_ToName(rec);  // an unknown identifier keeps an empty name
    return kOk;
}

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, long long& y, unsigned& m, unsigned& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<long long>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

// Reads `width` decimal digits at p.
bool Digits(const std::uint8_t* p, int width, int& value) {
    value = 0;
    for (int i = 0; i < width; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        value = value * 10 + (p[i] - '0');
    }
    return true;
}

}  // namespace

Error asn_GetTime(const asn_Node* n, std::tm& out) {
    std::memset(&out, 0, sizeof out);
    if (!n) return Error::BAD_PARAM_ERROR;
    int yearDigits;
    if (n->tag == kTagUtcTime) {
        yearDigits = 2;
    } else if (n->tag == kTagGeneralizedTime) {
        yearDigits = 4;
    } else {
        return Error::BAD_FORMAT_ERROR;
    }
    // yy(yy)MMddhhmmss; anything after the seconds (fraction, Z, offset) is ignored.
    const std::uint32_t need = static_cast<std::uint32_t>(yearDigits) + 10;
    int year, mon, day, hour, min, sec;
    const std::uint8_t* p = n->content;
    if (!p || n->length < need || !Digits(p, yearDigits, year) || !Digits(p + yearDigits, 2, mon) ||
        !Digits(p + yearDigits + 2, 2, day) || !Digits(p + yearDigits + 4, 2, hour) ||
        !Digits(p + yearDigits + 6, 2, min) || !Digits(p + yearDigits + 8, 2, sec)) {
        return Error::BAD_FORMAT_ERROR;
    }
    if (yearDigits == 2) year += year < 50 ? 2000 : 1900;
    // Normalise as a UTC calendar date: out-of-range fields roll over into the next unit.
    long long y = year + (mon - 1 >= 0 ? (mon - 1) / 12 : -1);
    unsigned m = static_cast<unsigned>(((mon - 1) % 12 + 12) % 12) + 1;
    long long secs = (DaysFromCivil(y, m, 1) + day - 1) * 86400LL + hour * 3600LL + min * 60LL + sec;
    long long days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    long long rest = secs - days * 86400;
    unsigned dd;
    CivilFromDays(days, y, m, dd);
    if (y < 1 || y > 9999) return kOk;
    out.tm_year = static_cast<int>(y - 1900);
    out.tm_mon = static_cast<int>(m) - 1;
    out.tm_mday = static_cast<int>(dd);
    out.tm_hour = static_cast<int>(rest / 3600);
    out.tm_min = static_cast<int>(rest / 60 % 60);
    out.tm_sec = static_cast<int>(rest % 60);
    out.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    out.tm_yday = static_cast<int>(days - DaysFromCivil(y, 1, 1));
    return kOk;
}

int asn_Compare(asn_Node* a, asn_Node* b) {
    if (!a) return b ? 1 : 0;
    if (!b) return -1;
    SecureBytes ea, eb;
    // A list that cannot be encoded compares as the empty encoding (asn_Encode then leaves
    // its output empty).
    (void)asn_Encode(a, ea);
    (void)asn_Encode(b, eb);
    std::size_t n = ea.size() < eb.size() ? ea.size() : eb.size();
    int c = n ? std::memcmp(ea.data(), eb.data(), n) : 0;
    if (c != 0) return c < 0 ? -1 : 1;
    if (ea.size() == eb.size()) return 0;
    return ea.size() < eb.size() ? -1 : 1;
}

}  // namespace kvn
