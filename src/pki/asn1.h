// ASN.1 BER/DER engine: element lists, reader, navigation, values, builder, writer.
//
// An encoding is held as a flat list of elements (asn_Node) in document order, each
// carrying its nesting level. The children of a constructed node are the nodes after it
// whose level is greater than its own, up to the next node whose level is equal or
// smaller. The DER of a list is the concatenation, in list order, of every node's header
// bytes and content bytes; a primitive OCTET STRING that encapsulates another encoding is
// a header node (no content of its own) followed by deeper nodes, and still encodes
// exactly.
//
// Ownership: a list is owned through its head node. AsnList is the owning handle;
// functions that take a list by AsnList&& consume it, functions that take AsnList& may
// move it elsewhere only on success. Node contents are wiped before they are freed.
//
// The engine knows nothing of certificates or keys. Readers answer a null list when the
// input holds no acceptable element; value functions answer a named error; the reason
// goes to the trace sink (pki/trace.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "base/error.h"
#include "base/memory.h"
#include "pki/oid.h"

namespace kvn {

// Class and form bits (top three bits of the identifier octet, kept in place).
inline constexpr std::uint32_t kAsnUniversal = 0x00;
inline constexpr std::uint32_t kAsnApplication = 0x40;
inline constexpr std::uint32_t kAsnContext = 0x80;
inline constexpr std::uint32_t kAsnPrivate = 0xC0;
inline constexpr std::uint32_t kAsnConstructed = 0x20;

// Universal tag numbers used by the layer.
enum : std::uint32_t {
    kTagEoc = 0, kTagBoolean = 1, kTagInteger = 2, kTagBitString = 3, kTagOctetString = 4,
    kTagNull = 5, kTagOid = 6, kTagUtf8String = 12, kTagSequence = 16, kTagSet = 17,
    kTagNumericString = 18, kTagPrintableString = 19, kTagT61String = 20, kTagIa5String = 22,
    kTagUtcTime = 23, kTagGeneralizedTime = 24, kTagVisibleString = 26,
    kTagUniversalString = 28, kTagBmpString = 30,
};

inline constexpr std::uint32_t kAsnLengthNotSet = 0xFFFFFFFFu;
inline constexpr std::uint32_t kAsnMaxContent = 0x3FFFFFFF;  // largest primitive content read
inline constexpr int kAsnMaxNesting = 200;                   // nested definite-length elements

struct asn_Node {
    std::uint32_t cls;         // class and form: 0x00/0x40/0x80/0xC0, | 0x20 when constructed
    std::uint32_t tag;         // tag number
    std::uint32_t length;      // content length; kAsnLengthNotSet for a builder header not joined yet
    std::uint32_t indefinite;  // 1 when read with the indefinite length form
    std::uint32_t level;       // nesting depth, 0 for the outermost elements of a list
    std::uint32_t hdrSize;     // identifier and length octets in header, 0 until made
    std::uint8_t header[8];
    asn_Node* next;
    asn_Node* prev;            // set on every node that is not a list head
    std::uint8_t* content;     // length bytes of a primitive element (null when empty)
};

// Frees every node of the list headed by *list (contents wiped) and nulls *list. A node
// linked behind another is not a head: then only *list is nulled.
void asn_Free(asn_Node** list) noexcept;
// Zeroes the contents of every node of the list without freeing anything.
void asn_Wipe(asn_Node* list) noexcept;

class AsnList {
public:
    AsnList() noexcept = default;
    explicit AsnList(asn_Node* head) noexcept : head_(head) {}
    AsnList(AsnList&& o) noexcept : head_(o.head_) { o.head_ = nullptr; }
    AsnList& operator=(AsnList&& o) noexcept {
        if (this != &o) {
            reset();
            head_ = o.head_;
            o.head_ = nullptr;
        }
        return *this;
    }
    AsnList(const AsnList&) = delete;
    AsnList& operator=(const AsnList&) = delete;
    ~AsnList() { reset(); }

    asn_Node* get() const noexcept { return head_; }
    asn_Node* operator->() const noexcept { return head_; }
    explicit operator bool() const noexcept { return head_ != nullptr; }
    asn_Node* release() noexcept {
        asn_Node* h = head_;
        head_ = nullptr;
        return h;
    }
    void reset() noexcept { asn_Free(&head_); }
    // For lists that held key material: wipe, then free.
    void wipe_and_reset() noexcept {
        asn_Wipe(head_);
        reset();
    }

private:
    asn_Node* head_ = nullptr;
};

// ---- Byte source ----------------------------------------------------------------------

// Where the reader takes its bytes from: an open file or a memory range.
struct AsnSource {
    std::FILE* file = nullptr;
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
    std::size_t pos = 0;
    long fileEnd = -1;  // size of a bound file, so content lengths can be checked before allocating

    static AsnSource FromMemory(const void* bytes, std::size_t n);
    static AsnSource FromFile(std::FILE* f);  // reads from the file's current position
    bool bound() const { return file || data; }

    int Get();                                 // next byte, -1 at the end
    std::size_t Read(std::uint8_t* out, std::size_t n);
    long Position() const;
    bool Seek(long position);
    long Remaining() const;                    // bytes left, -1 when unknown
};

// ---- Reading ---------------------------------------------------------------------------

// Parses exactly one outermost element from src into `list` (replacing what it held) and
// leaves any bytes after it unread. BAD_FORMAT_ERROR, with the reason traced and `list`
// empty, for bytes that are not one well-formed element; BAD_PARAM_ERROR for an unbound
// source.
Error asn_Read(AsnSource& src, AsnList& list);
Error asn_ReadMemory(const void* bytes, std::size_t n, AsnList& list);
// Decodes base64 text and parses it; the decoded bytes are wiped. BAD_FORMAT_ERROR also
// for text that decodes to nothing.
Error asn_ReadBase64(const char* text, AsnList& list);
// Reads the first element of an open file, which must be a SEQUENCE or SET (tag bit
// 0x10), with a definite or indefinite length. The file position is restored.
Error asn_ReadFile(std::FILE* f, AsnList& list);

// One (tag number, level) pair of a template; a level of -1 ends the template.
struct asn_TemplateEntry {
    int tag;
    int level;
};
// Parses one element and accepts it only when its nodes match the template exactly
// (end-of-contents nodes are skipped; classes are not compared). BAD_FORMAT_ERROR, with
// `list` empty, otherwise.
Error asn_ReadTemplate(AsnSource& src, const asn_TemplateEntry* tmpl, AsnList& list);

// ---- Navigation ------------------------------------------------------------------------
// "After" is strictly after the given node in list order. All return null when nothing fits.

asn_Node* asn_FindTag(asn_Node* from, std::uint32_t tag);
asn_Node* asn_FindTagLevel(asn_Node* from, std::uint32_t tag, std::uint32_t level);
// The n-th node after from at level; from itself when n < 1.
asn_Node* asn_NthAtLevel(asn_Node* from, int n, std::uint32_t level);
// The n-th node after from with tag at level; from itself when n < 1.
asn_Node* asn_NthTagLevel(asn_Node* from, std::uint32_t tag, int n, std::uint32_t level);
// Deep copy of the subtree of the n-th node with tag at level (any level when level < 0),
// counted after list; the head's own subtree when n < 1. Levels rebased to 0.
AsnList asn_Extract(asn_Node* list, std::uint32_t tag, int n, int level);
// Deep copy of one node's subtree, rebased to level 0.
AsnList asn_CopySubtree(const asn_Node* node);

inline std::uint32_t asn_Tag(const asn_Node* n) { return n ? n->tag : 0; }
inline std::uint32_t asn_Len(const asn_Node* n) { return n ? n->length : 0; }
inline const std::uint8_t* asn_Content(const asn_Node* n) { return n ? n->content : nullptr; }
inline asn_Node* asn_Next(const asn_Node* n) { return n ? n->next : nullptr; }
inline bool asn_IsConstructed(const asn_Node* n) { return n && (n->cls & kAsnConstructed); }
// Length of the content bytes a node holds: 0 for a constructed node (its length counts
// its children) and for a node without content.
inline std::uint32_t asn_HeldLength(const asn_Node* n) { return n && n->content ? n->length : 0; }

// ---- Values ----------------------------------------------------------------------------

// Content read big-endian into 32 bits (low 32 bits of longer contents; empty is 0).
std::uint32_t asn_GetUint(const asn_Node* n);
// The bits of a primitive BIT STRING with its unused low bits cleared; BAD_FORMAT_ERROR for
// another tag, an empty content or a constructed BIT STRING.
Error asn_GetBits(const asn_Node* n, SecureBytes& out);
// Dotted text of an OBJECT IDENTIFIER of at most 32 content bytes, copied to out
// (capacity includes the NUL; cut to fit). BAD_FORMAT_ERROR for a wrong tag or a longer
// content.
Error asn_GetOidText(const asn_Node* n, char* out, std::size_t capacity);
// Content bytes and table name of an OBJECT IDENTIFIER (name empty when unknown or longer
// than the record holds). BAD_FORMAT_ERROR for a wrong tag.
Error asn_GetOid(const asn_Node* n, oid_Record& rec);
// Broken-down UTC time of a UTCTime (tag 23) or GeneralizedTime (24). BAD_FORMAT_ERROR
// for another tag or unreadable digits, BAD_PARAM_ERROR for a null node. Fields are
// normalised; a year outside 1..9999 gives all fields zero.
Error asn_GetTime(const asn_Node* n, std::tm& out);
// Orders two lists by their DER encodings: -1, 0 or 1.
int asn_Compare(asn_Node* a, asn_Node* b);

// ---- Building --------------------------------------------------------------------------

AsnList asn_NewNode(std::uint32_t cls, std::uint32_t tag);
// Appends a new node directly behind after, at its level; returns it.
asn_Node* asn_NewNodeAfter(asn_Node* after, std::uint32_t cls, std::uint32_t tag);
// Primitive node with the given content (copied).
AsnList asn_NewPrimitive(std::uint32_t cls, std::uint32_t tag, const void* bytes, std::size_t n);
AsnList asn_NewInteger(const std::uint8_t* bytes, std::size_t n);  // unsigned big-endian, minimal form
AsnList asn_NewIntegerU32(std::uint32_t value);
AsnList asn_NewNull();
AsnList asn_NewOid(const char* name);                              // null when the name is unknown
AsnList asn_NewOctets(const void* bytes, std::size_t n);
AsnList asn_NewBmpString(const char* text);                        // each byte as 00 b
AsnList asn_NewContextPrimitive(std::uint32_t n, const void* bytes, std::size_t len);

// Appends list second behind the last node of first; second is consumed. Returns the
// head of the result (second's head when first is empty), or null, changing nothing,
// when second's head is already linked behind another node.
asn_Node* asn_Link(AsnList& first, AsnList& second);
// Links the lists in order into the first one.
template <class... Lists>
asn_Node* asn_LinkAll(AsnList& first, Lists&... rest) {
    asn_Node* head = first.get();
    ((head = asn_Link(first, rest)), ...);
    return head;
}
// Makes children the contents of header, a constructed node whose length is not yet set;
// children is consumed. Null, changing nothing, when the header's length is already set
// or a child's length is not.
asn_Node* asn_Join(AsnList& header, AsnList& children);
AsnList asn_Sequence(AsnList&& children);
AsnList asn_Set(AsnList&& children);
AsnList asn_ContextConstructed(std::uint32_t n, AsnList&& children);
AsnList asn_OctetWrap(AsnList&& children);  // OCTET STRING encapsulating children

// Makes the header bytes from class, tag and length; returns header size + length. 0 when
// the length is not set. A node that already has its header only returns its total.
std::uint32_t asn_SetHeader(asn_Node* n);

// ---- Writing ---------------------------------------------------------------------------

// Encoded size of the nodes at the head's level; 0 when a counted length is not set.
std::size_t asn_Length(asn_Node* list);
// DER of the list into out (replacing its contents); NO_DATA_ERROR when there is nothing
// to encode (an empty list, or a length not set).
Error asn_Encode(asn_Node* list, SecureBytes& out);
// Writes the DER to an open file; WRITE_ERROR when nothing or not all of it is written.
Error asn_WriteFile(asn_Node* list, std::FILE* f);

}  // namespace kvn
