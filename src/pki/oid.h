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

#include "base/error.h"

namespace kvn {

inline constexpr std::size_t kOidMaxBytes = 32;
inline constexpr std::size_t kOidMaxName = 63;

struct oid_Record {
    std::uint8_t bytes[kOidMaxBytes];  // DER content octets (no tag, no length)
    int count;                          // number of valid bytes
    char name[kOidMaxName + 1];         // table name, "" when unknown
};

// Fills rec with the first entry named exactly name (case-sensitive); rec.count is the
// byte count. NO_MATCH_ERROR when the name is not in the table (rec is then empty).
Error oid_FromName(oid_Record& rec, const char* name);

// Looks up rec.bytes[0..count) and copies the first matching entry's name into rec.name.
// NO_MATCH_ERROR (rec.name emptied) when count is below 1 or nothing matches.
Error oid_ToName(oid_Record& rec);

// True when rec carries the given name.
bool oid_NameIs(const oid_Record& rec, const char* name);

// Number of table entries and the name / dotted identifier of entry i (for tests and tools).
int oid_TableSize();
const char* oid_EntryName(int i);
const char* oid_EntryDotted(int i);

}  // namespace kvn
