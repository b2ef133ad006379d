// The element-list reader: byte sources, headers, one outermost element, templates, files.
#include <cstring>

#include "pki/asn1.h"
#include "pki/base64.h"
#include "pki/trace.h"

namespace kvn {

// ---- Byte source ----------------------------------------------------------------------

AsnSource AsnSource::FromMemory(const void* bytes, std::size_t n) {
    AsnSource s;
    s.data = static_cast<const std::uint8_t*>(bytes);
    s.size = bytes ? n : 0;
    if (!s.data) s.data = reinterpret_cast<const std::uint8_t*>("");
    return s;
}

AsnSource AsnSource::FromFile(std::FILE* f) {
    AsnSource s;
    s.file = f;
    if (f) {
        long here = std::ftell(f);
        if (here >= 0 && std::fseek(f, 0, SEEK_END) == 0) s.fileEnd = std::ftell(f);
        if (here >= 0) std::fseek(f, here, SEEK_SET);
    }
    return s;
}

int AsnSource::Get() {
    if (file) return std::fgetc(file);
    if (!data || pos >= size) return -1;
    return data[pos++];
}

std::size_t AsnSource::Read(std::uint8_t* out, std::size_t n) {
    if (file) return std::fread(out, 1, n, file);
    if (!data) return 0;
    std::size_t take = size - pos < n ? size - pos : n;
    std::memcpy(out, data + pos, take);
    pos += take;
    return take;
}

long AsnSource::Position() const {
    if (file) return std::ftell(file);
    return static_cast<long>(pos);
}

bool AsnSource::Seek(long position) {
    if (position < 0) return false;
    if (file) return std::fseek(file, position, SEEK_SET) == 0;
    if (static_cast<std::size_t>(position) > size) return false;
    pos = static_cast<std::size_t>(position);
    return true;
}

long AsnSource::Remaining() const {
    if (file) {
        long here = std::ftell(file);
        return fileEnd >= 0 && here >= 0 ? fileEnd - here : -1;
    }
    return static_cast<long>(size - pos);
}

namespace {

// Reads identifier and length octets into n (header, hdrSize, cls, tag, length,
// indefinite). The header store holds 8 octets: an identifier whose high-tag-number form
// does not fit together with its length octets is refused, as is a length of more than
// four octets.
bool ReadHeader(AsnSource& src, asn_Node& n) {
    int c = src.Get();
    if (c < 0) return false;
    std::uint32_t size = 0;
    n.header[size++] = static_cast<std::uint8_t>(c);
    n.cls = static_cast<std::uint32_t>(c) & 0xE0;
    n.tag = static_cast<std::uint32_t>(c) & 0x1F;
    if (n.tag == 0x1F) {
        n.tag = 0;
        do {
            c = src.Get();
            if (c < 0 || size >= 7) return false;  // room must remain for a length octet
            n.header[size++] = static_cast<std::uint8_t>(c);
            n.tag = (n.tag << 7) | (static_cast<std::uint32_t>(c) & 0x7F);
        } while (c & 0x80);
    }
    c = src.Get();
    if (c < 0) return false;
    n.header[size++] = static_cast<std::uint8_t>(c);
    n.length = 0;
    n.indefinite = 0;
    if (c < 0x80) {
        n.length = static_cast<std::uint32_t>(c);
    } else {
        int count = c & 0x7F;
        if (count == 0) {
            n.indefinite = 1;
        } else {
            if (count > 4 || size + static_cast<std::uint32_t>(count) > sizeof n.header) return false;
            for (int i = 0; i < count; ++i) {
                c = src.Get();
                if (c < 0) return false;
                n.header[size++] = static_cast<std::uint8_t>(c);
                n.length = (n.length << 8) | static_cast<std::uint32_t>(c);
            }
        }
    }
    n.hdrSize = size;
    return true;
}

// One open constructed element of the reader. end is the offset just past a
// definite-length element; an indefinite-length element inherits the end of its nearest
// definite-length ancestor (kNoEnd at the top), since it must close inside that too.
struct OpenElement {
    bool definite;
    long long end;
};
inline constexpr long long kNoEnd = -1;

bool ReadContent(AsnSource& src, asn_Node& n) {
    if (n.length > kAsnMaxContent) {
        asn_Trace("ASN.1 data error at offset %ld: Length value exceeds max of %d.", src.Position(),
                  static_cast<int>(kAsnMaxContent));
        return false;
    }
    // Refuse before allocating when the source cannot hold the content.
    long left = src.Remaining();
    if (left >= 0 && static_cast<unsigned long>(left) < n.length) {
        asn_Trace("ASN.1 data error at offset %ld: Attempt to read past EOF.", src.Position());
        return false;
    }
    n.content = static_cast<std::uint8_t*>(emalloc(n.length));
    if (src.Read(n.content, n.length) != n.length) {
        asn_Trace("ASN.1 data error at offset %ld: Attempt to read past EOF.", src.Position());
        return false;
    }
    return true;
}

}  // namespace

Error asn_Read(AsnSource& src, AsnList& list) {
    list.reset();
    if (!src.bound()) return Error::BAD_PARAM_ERROR;
    // Every failure below leaves `list` empty; its nodes are wiped with it.
    const auto refuse = [&list] {
        list.wipe_and_reset();
        return Error::BAD_FORMAT_ERROR;
    };
    // X.690 8.1.3 and 8.1.5: every element must lie inside its definite-length parent,
    // and end-of-contents octets only close an indefinite-length element.
    Vec<OpenElement> open;
    int definiteOpen = 0;
    long long offset = 0;  // bytes consumed since the first identifier octet
    const auto limit = [&] { return open.empty() ? kNoEnd : open.back().end; };
    const auto overruns = [&](long long through) { return limit() != kNoEnd && through > limit(); };
    asn_Node* tail = nullptr;
    for (;;) {
        auto* n = static_cast<asn_Node*>(ecalloc(1, sizeof(asn_Node)));
        // Link first so that the list owns the node on every path below.
        n->prev = tail;
        if (tail) {
            tail->next = n;
        } else {
            list = AsnList(n);
        }
        tail = n;
        if (!ReadHeader(src, *n)) return refuse();
        n->level = static_cast<std::uint32_t>(open.size());
        offset += n->hdrSize;
        if (overruns(offset) || (!n->indefinite && overruns(offset + n->length))) {
            asn_Trace("ASN.1 data error at offset %ld: Element runs past the end of its parent.", src.Position());
            return refuse();
        }
        if (n->cls & kAsnConstructed) {
            if (n->indefinite) {
                open.push_back({false, limit()});
            } else {
                if (definiteOpen >= kAsnMaxNesting) {
                    asn_Trace("ASN.1 internal error: stack overflow");
                    return refuse();
                }
                ++definiteOpen;
                open.push_back({true, offset + n->length});
            }
        } else {
            if (n->length > 0) {
                if (!ReadContent(src, *n)) return refuse();
                offset += n->length;
            }
            if (n->cls == kAsnUniversal && n->tag == kTagEoc) {
                if (open.empty()) {
                    asn_Trace("ASN.1 unexpected EOC");
                    return refuse();
                }
                if (open.back().definite) {
                    asn_Trace("ASN.1 data error at offset %ld: EOC inside a definite-length element.",
                              src.Position());
                    return refuse();
                }
                open.pop_back();
            }
        }
        // Close every definite-length element that this node completed.
        while (!open.empty() && open.back().definite && offset == open.back().end) {
            open.pop_back();
            --definiteOpen;
        }
        if (open.empty()) return kOk;
    }
}

Error asn_ReadMemory(const void* bytes, std::size_t n, AsnList& list) {
    AsnSource src = AsnSource::FromMemory(bytes, n);
    return asn_Read(src, list);
}

Error asn_ReadBase64(const char* text, AsnList& list) {
    list.reset();
    if (!text) return Error::BAD_PARAM_ERROR;
    SecureBytes der((std::strlen(text) + 3) / 4 * 3 + 1);
    int n = b64_Decode(der.data(), der.size(), text);
    if (n <= 0) return Error::BAD_FORMAT_ERROR;
    return asn_ReadMemory(der.data(), static_cast<std::size_t>(n), list);
}

namespace {

// Size of the element at the source's position: header plus length, or for the
// indefinite form the walk to its matching end-of-contents. -1 on failure.
long ElementSize(AsnSource& src, long start) {
    asn_Node h{};
    if (!ReadHeader(src, h) || !(h.tag & 0x10)) return -1;
    if (!h.indefinite) return static_cast<long>(h.hdrSize) + static_cast<long>(h.length);
    long open = 1;
    while (open > 0) {
        asn_Node e{};
        if (!ReadHeader(src, e)) return -1;
        if (e.indefinite) {
            ++open;
        } else if (e.cls == kAsnUniversal && e.tag == kTagEoc && e.length == 0) {
            --open;
        } else if (!(e.cls & kAsnConstructed) || e.length > 0) {
            // Skip content; a constructed definite element is skipped whole.
            long left = src.Remaining();
            if (left >= 0 && static_cast<unsigned long>(left) < e.length) return -1;
            if (!src.Seek(src.Position() + static_cast<long>(e.length))) return -1;
        }
    }
    return src.Position() - start;
}

}  // namespace

Error asn_ReadFile(std::FILE* f, AsnList& list) {
    list.reset();
    if (!f) return Error::BAD_PARAM_ERROR;
    AsnSource src = AsnSource::FromFile(f);
    long start = src.Position();
    if (start < 0) return Error::BAD_FORMAT_ERROR;
    Error result = Error::BAD_FORMAT_ERROR;
    long size = ElementSize(src, start);
    long left = src.Seek(start) ? src.Remaining() : -1;
    if (size > 0 && left >= size) {
        SecureBytes bytes(static_cast<std::size_t>(size));
        if (src.Read(bytes.data(), bytes.size()) == bytes.size()) result = asn_ReadMemory(bytes.data(), bytes.size(), list);
    }
    src.Seek(start);
    return result;
}

Error asn_ReadTemplate(AsnSource& src, const asn_TemplateEntry* tmpl, AsnList& list) {
    if (!tmpl) {
        list.reset();
        return Error::BAD_PARAM_ERROR;
    }
    if (Error rc = asn_Read(src, list); Failed(rc)) return rc;
    const asn_TemplateEntry* t = tmpl;
    asn_Node* n = list.get();
    for (; n; n = n->next) {
        if (n->cls == kAsnUniversal && n->tag == kTagEoc && !(n->cls & kAsnConstructed)) continue;
        if (t->level < 0) break;
        if (n->tag != static_cast<std::uint32_t>(t->tag) || n->level != static_cast<std::uint32_t>(t->level)) break;
        ++t;
    }
    if (t->level < 0 && list->indefinite) {
        // The outermost element's own end-of-contents must close it.
        asn_Node* last = list.get();
        while (last->next) last = last->next;
        if (!(last->tag == kTagEoc && last->cls == kAsnUniversal && last->level == 1)) n = last;
    }
    if (t->level >= 0 || n != nullptr) {
        list.wipe_and_reset();
        return Error::BAD_FORMAT_ERROR;
    }
    return kOk;
}

}  // namespace kvn
