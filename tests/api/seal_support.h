// Helpers of the seal tests: files, the exports' text answers, and OpenSSL's libcrypto and
// the xmllint tool as independent peers.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <map>
#include <string>
#include <vector>

#include "kelvane.h"

namespace seal_test {

namespace fs = std::filesystem;

inline const char kPassword[] = "test-password";

inline std::string Invoice(const std::string& name) { return std::string(KVN_FIXTURES_DIR) + "/invoices/" + name; }
inline std::string Credential(const std::string& name) { return std::string(KVN_FIXTURES_DIR) + "/credentials/" + name; }
inline std::string Key(int bits) { return Credential("test-rsa" + std::to_string(bits) + "-pbes2-3des-sha1.der"); }
inline std::string Cert(int bits) { return Credential("test-csd-" + std::to_string(bits) + ".cer"); }

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// Replaces the first occurrence of `from` in text (which must be there).
inline std::string ReplaceFirst(std::string text, const std::string& from, const std::string& to) {
    std::size_t at = text.find(from);
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

inline std::string LastError() {
    char buf[4100];
    KVN_LastError(buf, 4099);
    return buf;
}

// A fresh directory, removed with everything in it.
class TempDir {
public:
    explicit TempDir(const std::string& tag) {
        path_ = fs::temp_directory_path() / ("kvn-" + tag + "-" + std::to_string(::getpid()));
        fs::remove_all(path_);
        fs::create_directories(path_);
    }
    ~TempDir() { fs::remove_all(path_); }
    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::size_t EntryCount() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(path_), fs::directory_iterator()));
    }

private:
    fs::path path_;
};

inline std::string Attribute(const std::string& file, const char* attribute, const char* element) {
    int n = KVN_GetXmlAttribute(nullptr, 0, file.c_str(), attribute, element);
    if (n < 0) return "<" + std::to_string(n) + ">";
    std::string value(static_cast<std::size_t>(n) + 1, '\0');
    KVN_GetXmlAttribute(value.data(), n, file.c_str(), attribute, element);
    value.resize(static_cast<std::size_t>(n));
    return value;
}

inline std::string PipeString(const std::string& file, int options = 0) {
    int n = KVN_MakePipeStringFromXml(nullptr, 0, file.c_str(), options);
    if (n < 1) return "";
    std::string pipe(static_cast<std::size_t>(n) + 1, '\0');
    n = KVN_MakePipeStringFromXml(pipe.data(), n, file.c_str(), options);
    pipe.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return pipe;
}

inline std::string Digest(const std::string& file, int options = 0) {
    char hex[129] = {};
    int n = KVN_MakeDigestFromXml(hex, 128, file.c_str(), options);
    return n < 0 ? "<" + std::to_string(n) + ">" : hex;
}

inline std::string ExtractedDigest(const std::string& file, const char* cert, int options = 0) {
    char hex[129] = {};
    int n = KVN_ExtractDigestFromSignature(hex, 128, file.c_str(), cert, options);
    return n < 0 ? "<" + std::to_string(n) + ">" : hex;
}

inline std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// --- the corpus and the tax authority's stylesheets ---------------------------------------

inline std::string Corpus(const std::string& name) { return std::string(KVN_CORPUS_DIR) + "/" + name; }
inline std::string Example(const std::string& name) { return std::string(KVN_SOURCE_DIR) + "/examples/" + name; }

// A stylesheet of the authority's tree, next to the corpus (cfd/4/..., cfd/3/...).
inline std::string Stylesheet(const std::string& path) {
    return std::string(KVN_CORPUS_DIR) + "/../sat/www.sat.gob.mx/sitio_internet/cfd/" + path;
}

// Key passwords of the corpus by key file name.
inline std::map<std::string, std::string> CorpusPasswords() {
    std::map<std::string, std::string> passwords;
    std::ifstream in(Corpus("certs/passwords.txt"));
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::size_t tab = line.find('\t');
        if (tab != std::string::npos) passwords[line.substr(0, tab)] = line.substr(tab + 1);
    }
    return passwords;
}

// The corpus certificates by certificate number, as the library reads them.
inline std::map<std::string, std::string> CorpusCertificatesByNumber() {
    std::map<std::string, std::string> certificates;
    for (const auto& entry : fs::directory_iterator(Corpus("certs"))) {
        if (entry.path().extension() != ".cer") continue;
        char number[256] = {};
        if (KVN_GetCertNumber(number, 255, entry.path().c_str()) > 0) certificates[number] = entry.path().string();
    }
    return certificates;
}

inline std::string WithoutWhiteSpace(std::string s) {
    std::erase_if(s, [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; });
    return s;
}

// --- libcrypto as the peer -------------------------------------------------------------

inline std::vector<unsigned char> PeerBase64Decode(const std::string& text) {
    std::vector<unsigned char> out(text.size() / 4 * 3 + 3);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return {};
    std::size_t pad = 0;
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) ++pad;
    out.resize(static_cast<std::size_t>(n) - pad);
    return out;
}

inline std::string PeerDigestHex(const std::string& data, const EVP_MD* md) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(data.data(), data.size(), digest, &n, md, nullptr);
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned i = 0; i < n; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

// True when libcrypto accepts `seal` (base64) as an RSA PKCS#1 v1.5 signature with digest md
// over data, made by the key of the DER or PEM certificate file.
inline bool PeerVerifies(const std::string& certFile, const std::string& data, const std::string& seal,
                         const EVP_MD* md) {
    std::string der = ReadFile(certFile);
    X509* cert = nullptr;
    if (std::FILE* f = std::fopen(certFile.c_str(), "rb")) {
        cert = d2i_X509_fp(f, nullptr);
        std::fclose(f);
    }
    if (!cert) return false;
    EVP_PKEY* key = X509_get_pubkey(cert);
    std::vector<unsigned char> signature = PeerBase64Decode(seal);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    bool ok = key && ctx && EVP_DigestVerifyInit(ctx, nullptr, md, nullptr, key) == 1 &&
              EVP_DigestVerify(ctx, signature.data(), signature.size(),
                               reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    X509_free(cert);
    return ok;
}

// --- xmllint as the peer ---------------------------------------------------------------

inline std::string Run(const std::string& command, int* status = nullptr) {
    std::string output;
    if (std::FILE* p = ::popen(command.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) output.append(buf, n);
        int rc = ::pclose(p);
        if (status) *status = rc;
    }
    return output;
}

inline std::string StampStylesheetPipeString(const std::string& file, const std::string& sheet);

// The pipe string of a 3.3 or 4.0 document by xsltproc with the authority's stylesheet;
// with `stamp`, that of its tfd:TimbreFiscalDigital 1.1 (extracted into a document of its
// own first, keeping the namespaces in scope).
inline std::string StylesheetPipeString(const std::string& file, bool stamp = false) {
    if (!stamp) {
        const bool v40 = Run("grep -c 'Version=\"4.0\"' '" + file + "'") != "0\n";
        const std::string sheet = v40 ? Stylesheet("4/cadenaoriginal_4_0/cadenaoriginal_4_0.xslt")
                                      : Stylesheet("3/cadenaoriginal_3_3/cadenaoriginal_3_3.xslt");
        return Run("xsltproc --nonet '" + sheet + "' '" + file + "' 2>/dev/null");
    }
    return StampStylesheetPipeString(file, Stylesheet("TimbreFiscalDigital/cadenaoriginal_TFD_1_1.xslt"));
}

// The pipe string of a document's first tfd:TimbreFiscalDigital by xsltproc with `sheet`.
inline std::string StampStylesheetPipeString(const std::string& file, const std::string& sheet) {
    const std::string extract = fs::temp_directory_path() / ("kvn-extract-tfd-" + std::to_string(::getpid()) + ".xslt");
    std::ofstream(extract) << "<xsl:stylesheet version=\"1.0\" xmlns:xsl=\"http://www.w3.org/1999/XSL/Transform\" "
                              "xmlns:tfd=\"http://www.sat.gob.mx/TimbreFiscalDigital\"><xsl:template match=\"/\">"
                              "<xsl:copy-of select=\"(//tfd:TimbreFiscalDigital)[1]\"/></xsl:template></xsl:stylesheet>";
    std::string text = Run("xsltproc --nonet '" + extract + "' '" + file + "' | xsltproc --nonet '" + sheet +
                           "' - 2>/dev/null");
    fs::remove(extract);
    return text;
}

inline bool XmllintParses(const std::string& file) {
    int status = -1;
    Run("xmllint --noout '" + file + "' 2>&1", &status);
    return status == 0;
}

// The canonical form (C14N 1.0) of a document by xmllint.
inline std::string Canonical(const std::string& file) { return Run("xmllint --c14n '" + file + "' 2>/dev/null"); }

}  // namespace seal_test
