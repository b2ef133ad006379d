// The element-list builder and the DER writer.
#include <cstring>

#include "pki/asn1.h"
#include "pki/trace.h"

namespace kvn {
namespace {

asn_Node* NewRawNode(std::uint32_t cls, std::uint32_t tag) {
    auto* n = static_cast<asn_Node*>(ecalloc(1, sizeof(asn_Node)));
    n->cls = cls;
    n->tag = tag;
    n->length = kAsnLengthNotSet;
    return n;
}

asn_Node* LastNode(asn_Node* n) {
    while (n && n->next) n = n->next;
    return n;
}

AsnList Wrap(std::uint32_t cls, std::uint32_t tag, AsnList&& children) {
    AsnList header = asn_NewNode(cls, tag);
    AsnList kids = std::move(children);
    if (!asn_Join(header, kids)) return AsnList();
    return header;
}

}  // namespace

AsnList asn_NewNode(std::uint32_t cls, std::uint32_t tag) { return AsnList(NewRawNode(cls, tag)); }

asn_Node* asn_NewNodeAfter(asn_Node* after, std::uint32_t cls, std::uint32_t tag) {
    asn_Node* n = NewRawNode(cls, tag);
    if (!after) return n;
    n->level = after->level;
    n->next = after->next;
    if (n->next) n->next->prev = n;
    n->prev = after;
    after->next = n;
    return n;
}

AsnList asn_NewPrimitive(std::uint32_t cls, std::uint32_t tag, const void* bytes, std::size_t n) {
    if (n > kAsnMaxContent) return AsnList();
    AsnList list = asn_NewNode(cls & ~kAsnConstructed, tag);
    if (n > 0) {
        list->content = static_cast<std::uint8_t*>(emalloc(n));
        std::memcpy(list->content, bytes, n);
    }
    list->length = static_cast<std::uint32_t>(n);
    return list;
}

AsnList asn_NewInteger(const std::uint8_t* bytes, std::size_t n) {
    while (n > 0 && bytes[0] == 0) {
        ++bytes;
        --n;
    }
    if (n == 0) {
        static const std::uint8_t zero = 0;
        return asn_NewPrimitive(kAsnUniversal, kTagInteger, &zero, 1);
    }
    if (bytes[0] < 0x80) return asn_NewPrimitive(kAsnUniversal, kTagInteger, bytes, n);
    SecureBytes padded(n + 1);
    padded[0] = 0;
    std::memcpy(padded.data() + 1, bytes, n);
    return asn_NewPrimitive(kAsnUniversal, kTagInteger, padded.data(), padded.size());
}

AsnList asn_NewIntegerU32(std::uint32_t value) {
    const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
                                   static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
    return asn_NewInteger(bytes, 4);
}

AsnList asn_NewNull() { return asn_NewPrimitive(kAsnUniversal, kTagNull, nullptr, 0); }

AsnList asn_NewOid(const char* name) {
    oid_Record rec;
    if (Failed(oid_FromName(rec, name))) return AsnList();
    return asn_NewPrimitive(kAsnUniversal, kTagOid, rec.bytes, static_cast<std::size_t>(rec.count));
}

AsnList asn_NewOctets(const void* bytes, std::size_t n) {
    return asn_NewPrimitive(kAsnUniversal, kTagOctetString, bytes, n);
}

AsnList asn_NewBmpString(const char* text) {
    std::size_t n = text ? std::strlen(text) : 0;
    SecureBytes bmp(2 * n);
    for (std::size_t i = 0; i < n; ++i) bmp[2 * i + 1] = static_cast<std::uint8_t>(text[i]);
    return asn_NewPrimitive(kAsnUniversal, kTagBmpString, bmp.data(), bmp.size());
}

AsnList asn_NewContextPrimitive(std::uint32_t n, const void* bytes, std::size_t len) {
    return asn_NewPrimitive(kAsnContext, n, bytes, len);
}

asn_Node* asn_Link(AsnList& first, AsnList& second) {
    if (!second) return first.get();
    if (second->prev) {
        asn_Trace("asn_Link: 2nd header is invalid\n");
        return nullptr;
    }
    if (!first) {
        first = std::move(second);
        return first.get();
    }
    asn_Node* last = LastNode(first.get());
    asn_Node* head = second.release();
    last->next = head;
    head->prev = last;
    return first.get();
}

asn_Node* asn_Join(AsnList& header, AsnList& children) {
    asn_Node* h = header.get();
    if (!h || h->length != kAsnLengthNotSet) {
        asn_Trace("asn_Join: Illegal join");
        return nullptr;
    }
    std::size_t total = 0;
    if (children) {
        total = asn_Length(children.get());  // makes each child's header on the way
        if (total == 0 || total > 0xFFFFFFFEu) {
            asn_Trace("asn_Join: sub-length not set\n");
            return nullptr;
        }
    }
    if (children) {
        asn_Node* first = children.release();
        asn_Node* last = LastNode(first);
        for (asn_Node* c = first; c; c = c->next) c->level += h->level + 1;
        last->next = h->next;
        if (h->next) h->next->prev = last;
        h->next = first;
        first->prev = h;
    }
    h->cls |= kAsnConstructed;
    h->length = static_cast<std::uint32_t>(total);
    h->hdrSize = 0;
    asn_SetHeader(h);
    return h;
}

AsnList asn_Sequence(AsnList&& children) { return Wrap(kAsnConstructed, kTagSequence, std::move(children)); }
AsnList asn_Set(AsnList&& children) { return Wrap(kAsnConstructed, kTagSet, std::move(children)); }
AsnList asn_ContextConstructed(std::uint32_t n, AsnList&& children) {
    return Wrap(kAsnContext | kAsnConstructed, n, std::move(children));
}

AsnList asn_OctetWrap(AsnList&& children) {
    // A primitive OCTET STRING whose content is the encoding of children: a header node
    // without content of its own, followed by the children one level deeper.
    AsnList header = asn_NewNode(kAsnUniversal, kTagOctetString);
    AsnList kids = std::move(children);
    if (!asn_Join(header, kids)) return AsnList();
    header->cls &= ~kAsnConstructed;
    header->hdrSize = 0;
    asn_SetHeader(header.get());
    return header;
}

std::uint32_t asn_SetHeader(asn_Node* n) {
    if (!n) return 0;
    if (n->length == kAsnLengthNotSet) {
        asn_Trace("asn_SetHeader: Attempt to set header without length.");
        return 0;
    }
    if (n->hdrSize == 0) {
        std::uint32_t size = 0;
        n->header[size++] = static_cast<std::uint8_t>((n->cls & 0xE0) | (n->tag & 0x1F));
        std::uint32_t len = n->length;
        if (len < 0x80) {
            n->header[size++] = static_cast<std::uint8_t>(len);
        } else {
            int count = len > 0xFFFFFF ? 4 : len > 0xFFFF ? 3 : len > 0xFF ? 2 : 1;
            n->header[size++] = static_cast<std::uint8_t>(0x80 | count);
            for (int i = count - 1; i >= 0; --i) n->header[size++] = static_cast<std::uint8_t>(len >> (8 * i));
        }
        n->hdrSize = size;
    }
    return n->hdrSize + n->length;
}

std::size_t asn_Length(asn_Node* list) {
    if (!list) return 0;
    const std::uint32_t base = list->level;
    std::size_t total = 0;
    bool skipping = false;
    std::uint32_t skipAbove = 0;
    // Each counted node covers its whole subtree, except an indefinite-length constructed
    // node, which counts its header and lets its children be counted one by one.
    for (asn_Node* n = list; n && n->level >= base; n = n->next) {
        if (skipping && n->level > skipAbove) continue;
        skipping = false;
        if (n->length == kAsnLengthNotSet) {
            asn_Trace("asn_Length: sub-length not set\n");
            return 0;
        }
        if (n->hdrSize == 0) asn_SetHeader(n);
        if (n->indefinite && (n->cls & kAsnConstructed)) {
            total += n->hdrSize;
        } else {
            total += static_cast<std::size_t>(n->hdrSize) + n->length;
            skipping = true;
            skipAbove = n->level;
        }
    }
    return total;
}

Error asn_Encode(asn_Node* list, SecureBytes& out) {
    out.clear();
    const std::size_t total = asn_Length(list);  // also makes missing headers
    if (total == 0) return Error::NO_DATA_ERROR;
    // The bytes the nodes really hold; a list read from hostile input may claim lengths
    // its nodes do not have, and is refused before anything is allocated for it.
    const std::uint32_t base = list->level;
    auto contentOf = [](const asn_Node* n) -> std::size_t {
        return !(n->cls & kAsnConstructed) && n->content ? n->length : 0;
    };
    std::size_t held = 0;
    for (asn_Node* n = list; n && n->level >= base; n = n->next) held += n->hdrSize + contentOf(n);
    if (held != total) return Error::NO_DATA_ERROR;
    out.resize(total);
    std::size_t o = 0;
    for (asn_Node* n = list; n && n->level >= base; n = n->next) {
        std::memcpy(out.data() + o, n->header, n->hdrSize);
        o += n->hdrSize;
        if (std::size_t c = contentOf(n)) std::memcpy(out.data() + o, n->content, c);
        o += contentOf(n);
    }
    return kOk;
}

Error asn_WriteFile(asn_Node* list, std::FILE* f) {
    SecureBytes der;
    if (!f || Failed(asn_Encode(list, der))) return Error::WRITE_ERROR;
    return std::fwrite(der.data(), 1, der.size(), f) == der.size() ? kOk : Error::WRITE_ERROR;
}

}  // namespace kvn
