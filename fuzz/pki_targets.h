// One input through each reader of the PKI layer. Shared by the libFuzzer targets and the
// test that replays the inputs kept under fuzz/regressions/pki_*/.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "base/memory.h"
#include "pki/asn1.h"
#include "pki/keyfile.h"
#include "pki/pem.h"
#include "pki/x509.h"

namespace kvn_fuzz {

// The input as a file of its own (the readers take file names).
class InputFile {
public:
    InputFile(const std::uint8_t* data, std::size_t size) {
        path_ = "/tmp/kvn-fuzz-pki-" + std::to_string(::getpid());
        if (std::FILE* f = std::fopen(path_.c_str(), "wb")) {
            if (size) std::fwrite(data, 1, size, f);
            std::fclose(f);
        }
    }
    ~InputFile() { std::remove(path_.c_str()); }
    const char* path() const { return path_.c_str(); }

private:
    std::string path_;
};

inline std::string AsText(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    return text.substr(0, text.find('\0'));
}

// asn_Read through every way in: memory, a file (DER or PEM), and text (base64 or PEM).
inline void FuzzAsn1(const std::uint8_t* data, std::size_t size) {
    kvn::AsnList list = kvn::asn_ReadMemory(data, size);
    if (list) {
        kvn::SecureBytes der;
        kvn::asn_Encode(list.get(), der);
        kvn::asn_Extract(list.get(), kvn::kTagSequence, 2, -1);
        for (kvn::asn_Node* n = list.get(); n; n = n->next) {
            char text[64];
            kvn::asn_GetOidText(n, text, sizeof text);
            std::tm tm;
            kvn::asn_GetTime(n, tm);
            kvn::asn_GetBits(n, der);
        }
    }
    InputFile file(data, size);
    kvn::pki_ReadObject(file.path(), 0);
    std::string text = AsText(data, size);
    kvn::pki_ReadObject(text.c_str(), 0);
}

inline void FuzzKeyFile(const std::uint8_t* data, std::size_t size) {
    InputFile file(data, size);
    kvn::SecureString key;
    kvn::key_ReadEncrypted(key, file.path(), "test-password");
    std::string text = AsText(data, size);
    if (kvn::pem_IsPemString(text.c_str())) kvn::key_ReadEncrypted(key, text.c_str(), "test-password");
}

inline void FuzzX509(const std::uint8_t* data, std::size_t size) {
    InputFile file(data, size);
    kvn::String out;
    kvn::x509_GetBase64(out, file.path());
    kvn::x509_GetSerial(out, file.path());
    kvn::x509_GetName(out, file.path(), ";", kvn::kX509NameLatin1, true);
    kvn::x509_GetName(out, file.path(), ";", 0, false);
    char time[21];
    kvn::x509_GetTime(time, file.path(), 0);
    kvn::x509_GetTime(time, file.path(), 1);
    kvn::SecureString key;
    kvn::x509_GetPublicKeyString(key, file.path());
}

}  // namespace kvn_fuzz
