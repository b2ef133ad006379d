// Object identifiers by name.
//
// The PKI layer names the identifiers it builds and compares: a builder asks for
// "rsaEncryption" and gets its DER content bytes; a reader turns the content bytes it
// found back into a name and compares names. The built-in table is searched linearly in
// its fixed order and the first match wins, so a name that occurs twice always builds its
// first identifier, while both identifiers read back as that name.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn {

inline constexpr std::size_t kOidMaxBytes = 32;
inline constexpr std::size_t kOidMaxName = 63;

struct oid_Record {
    std::uint8_t bytes[kOidMaxBytes];  // DER content octets (no tag, no length)
    int count;                          // number of valid bytes
    char name[kOidMaxName + 1];         // table name, "" when unknown
};

// Fills rec with the first entry named exactly name (case-sensitive). Returns the byte
// count, 0 when the name is not in the table (rec is then empty).
int oid_FromName(oid_Record& rec, const char* name);

// Looks up rec.bytes[0..count) and copies the first matching entry's name into rec.name.
// Returns 0, or -1 (rec.name emptied) when count is below 1 or nothing matches.
int oid_ToName(oid_Record& rec);

// True when rec carries the given name.
bool oid_NameIs(const oid_Record& rec, const char* name);

// Number of table entries and the name / dotted identifier of entry i (for tests and tools).
int oid_TableSize();
const char* oid_EntryName(int i);
const char* oid_EntryDotted(int i);

}  // namespace kvn
