// Certificate and key commands: cert, check-key, key-xml and pfx.
#include <cstdio>
#include <utility>
#include <vector>

#include "commands.h"
#include "hints.h"
#include "kelvane.h"
#include "library.h"
#include "output.h"
#include "password.h"

namespace cli {
namespace {

// Standard base64 (RFC 4648 section 4) to bytes; characters outside the alphabet are skipped.
std::string DecodeBase64(const std::string& text) {
    std::string out;
    unsigned acc = 0;
    int bits = 0;
    for (unsigned char c : text) {
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else continue;
        acc = (acc << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xFF));
        }
    }
    return out;
}

// The key file and its password, for the commands that read a private key.
bool KeyAndPassword(const Invocation& inv, std::string* key, Secret* password) {
    std::string error;
    if (!RequireOption(inv, "key", key)) return false;
    if (!ObtainKeyPassword(inv, *key, password, &error)) {
        UsageError(inv.command, error);
        return false;
    }
    return true;
}

}  // namespace

namespace {

struct CertField {
    const char* name;     // as given on the command line
    const char* json;     // member name in --json output
};

constexpr CertField kCertFields[] = {
    {"number", "number"},        {"not-before", "notBefore"}, {"expiry", "notAfter"},
    {"rfc", "rfc"},              {"organization", "organizationName"}, {"base64", "base64"},
};

Outcome QueryField(const std::string& field, const std::string& cert, const Invocation& inv) {
    const char* c = cert.c_str();
    int bits = OptionBits(inv);
    if (field == "number") return CallForText([&](char* o, int n) { return KVN_GetCertNumber(o, n, c); });
    if (field == "expiry") return CallForText([&](char* o, int n) { return KVN_GetCertExpiry(o, n, c, bits); });
    if (field == "not-before")
        return CallForText([&](char* o, int n) { return KVN_GetCertExpiry(o, n, c, KVN_OPT_NOTBEFORE); });
    if (field == "base64") return CallForText([&](char* o, int n) { return KVN_GetCertAsString(o, n, c); });
    std::string query = field == "rfc" ? "rfc" : field == "organization" ? "organizationName" : field;
    return CallForText([&](char* o, int n) { return KVN_QueryCert(o, n, c, query.c_str(), bits); });
}

}  // namespace

// cert CERT [FIELD...] [--query Q]: facts about a certificate (or a signed invoice's).
int RunCert(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, SIZE_MAX, "certificate file")) return kExitUsage;
    std::string cert = inv.positionals[0];
    std::vector<std::pair<std::string, std::string>> fields;  // (query, json name)
    for (size_t i = 1; i < inv.positionals.size(); ++i) {
        const CertField* found = nullptr;
        for (const CertField& f : kCertFields)
            if (inv.positionals[i] == f.name) found = &f;
        if (!found) return UsageError(inv.command, "unknown field '" + inv.positionals[i] + "'");
        fields.emplace_back(found->name, found->json);
    }
    if (auto it = inv.options.find("query"); it != inv.options.end())
        for (const std::string& q : it->second) fields.emplace_back(q, q);
    if (fields.empty())
        for (const CertField& f : kCertFields)
            if (std::string(f.name) != "base64" || inv.has("all")) fields.emplace_back(f.name, f.json);

    JsonObject r;
    std::string text;
    Outcome failed;
    if (auto unreadable = UnreadableCertificate(cert)) {
        return Report(inv, WithHint(*unreadable, Role::kQuery, CallFiles{"", "", cert}), Role::kQuery, "", "");
    }
    for (const auto& [query, json] : fields) {
        Outcome o = QueryField(query, cert, inv);
        if (!o.ok()) {
            failed = WithHint(o, Role::kQuery, CallFiles{"", "", cert});
            break;
        }
        r.Add(json, o.result);
        if (fields.size() == 1) {
            text += o.result + "\n";
        } else {
            std::string label = json + ":";
            label.append(label.size() < 19 ? 19 - label.size() : 1, ' ');
            text += label + o.result + "\n";
        }
    }
    return Report(inv, failed, Role::kQuery, text, r.str());
}

int RunCheckKey(const Invocation& inv) {
    if (!ExpectArguments(inv, 0, 0, "")) return kExitUsage;
    std::string key, cert;
    Secret password;
    if (!RequireOption(inv, "cert", &cert) || !KeyAndPassword(inv, &key, &password)) return kExitUsage;
    if (auto unreadable = UnreadableCertificate(cert)) {
        return Report(inv, WithHint(*unreadable, Role::kKey, CallFiles{"", key, cert}), Role::kKey, "", "");
    }
    Outcome o = CallForStatus(KVN_CheckKeyAndCert(key.c_str(), password.c_str(), cert.c_str()));
    o = WithHint(o, Role::kKey, CallFiles{"", key, cert});
    return Report(inv, o, Role::kKey, "key " + key + " matches certificate " + cert, "true");
}

// key-xml --key KEY [--xml]: the key's RSAKeyValue form, base64 as the library gives it,
// or decoded with --xml. Contains the private key: handle the output as secret.
int RunKeyXml(const Invocation& inv) {
    if (!ExpectArguments(inv, 0, 0, "")) return kExitUsage;
    std::string key;
    Secret password;
    if (!KeyAndPassword(inv, &key, &password)) return kExitUsage;
    Outcome o = CallForText([&](char* out, int n) { return KVN_GetKeyAsString(out, n, key.c_str(), password.c_str(), 0); });
    o = WithHint(o, Role::kKey, CallFiles{"", key});
    if (o.ok() && inv.has("xml")) o.result = DecodeBase64(o.result);
    Report(inv, o, Role::kKey, o.result, JsonString(o.result));
    Secret wipe(std::move(o.result));
    return o.ok() ? kExitOk : ExitStatusFor(o.code, Role::kKey);
}

// pfx --key KEY --cert CERT -o OUT: a password-protected PKCS#12 file (base64 text).
int RunPfx(const Invocation& inv) {
    if (!ExpectArguments(inv, 0, 0, "")) return kExitUsage;
    std::string key, cert, output, error;
    Secret password, pfx_password;
    if (!RequireOption(inv, "cert", &cert) || !RequireOption(inv, "output", &output) ||
        !KeyAndPassword(inv, &key, &password))
        return kExitUsage;
    if (!ObtainPfxPassword(inv, &pfx_password, &error)) return UsageError(inv.command, error);
    if (auto unreadable = UnreadableCertificate(cert)) {
        return Report(inv, WithHint(*unreadable, Role::kKey, CallFiles{"", key, cert}), Role::kKey, "", "");
    }
    Outcome o = CallForStatus(KVN_WritePfxFile(output.c_str(), pfx_password.c_str(), key.c_str(),
                                               password.c_str(), cert.c_str(), 0));
    o = WithHint(o, Role::kKey, CallFiles{"", key, cert, output});
    JsonObject r;
    r.Add("output", output);
    return Report(inv, o, Role::kKey, output + ": PFX written", r.str());
}

}  // namespace cli
