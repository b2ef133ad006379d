// Document commands: version, attribute, pipestring, digest, seal, sign, verify and
// extract-digest (validate is in commands_validate.cpp).
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "batch.h"
#include "commands.h"
#include "kelvane.h"
#include "library.h"
#include "output.h"
#include "password.h"

namespace fs = std::filesystem;

namespace cli {
namespace {

std::string VersionName(int number) {
    switch (number) {
    case 2: return "CFD 2.0";
    case 22: return "CFD 2.2";
    case 3: return "CFDI 3.0";
    case 32: return "CFDI 3.2";
    case 33: return "CFDI 3.3";
    case 40: return "CFDI 4.0";
    default: return "version " + std::to_string(number / 10) + "." + std::to_string(number % 10);
    }
}

// Reads a whole file; false when it cannot be read.
bool ReadFile(const std::string& path, std::string* data) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data->append(buf, n);
    bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

// Verification falls back to the document's own certificate when none is given, and a missing
// document then reads as a missing certificate. Checking the document first reports it as what
// it is: an input that cannot be opened.
std::optional<Outcome> UnreadableInput(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f) {
        std::fclose(f);
        return std::nullopt;
    }
    Outcome o;
    o.code = -OPEN_ERROR;
    o.message = "Cannot open file '" + path + "'/No se puede abrir el archivo";
    return o;
}

}  // namespace

int RunDocVersion(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "invoice file")) return kExitUsage;
    int v = KVN_XmlReceiptVersion(inv.positionals[0].c_str());
    Outcome o = CallForStatus(v);
    JsonObject r;
    if (o.ok()) r.Add("number", v).Add("name", VersionName(v));
    return Report(inv, o, Role::kDocument, o.ok() ? VersionName(v) + " (" + std::to_string(v) + ")" : "", r.str());
}

// attribute FILE NAME [ELEMENT]: the value of one attribute; ELEMENT defaults to the root
// (Comprobante, in any namespace) and may carry an occurrence, as in cfdi:Concepto[2].
int RunAttribute(const Invocation& inv) {
    if (!ExpectArguments(inv, 2, 3, "invoice file and attribute name")) return kExitUsage;
    std::string file = inv.positionals[0], name = inv.positionals[1];
    std::string element = inv.positionals.size() > 2 ? inv.positionals[2] : "Comprobante";
    Outcome o = CallForText([&](char* out, int n) {
        return KVN_GetXmlAttribute(out, n, file.c_str(), name.c_str(), element.c_str());
    });
    return Report(inv, o, Role::kQuery, o.result + "\n", JsonString(o.result));
}

int RunPipeString(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "invoice file")) return kExitUsage;
    std::string file = inv.positionals[0];
    int bits = OptionBits(inv);
    Outcome o = CallForText([&](char* out, int n) { return KVN_MakePipeStringFromXml(out, n, file.c_str(), bits); });
    return Report(inv, o, Role::kDocument, o.result + "\n", JsonString(o.result));
}

int RunDigest(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "invoice file")) return kExitUsage;
    std::string file = inv.positionals[0];
    int bits = OptionBits(inv);
    Outcome o = CallForText([&](char* out, int n) { return KVN_MakeDigestFromXml(out, n, file.c_str(), bits); });
    return Report(inv, o, Role::kDocument, o.result, JsonString(o.result));
}

// seal FILE --key KEY: the base64 seal the document would carry, without writing anything.
int RunSeal(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "invoice file")) return kExitUsage;
    std::string key, error, file = inv.positionals[0];
    if (!RequireOption(inv, "key", &key)) return kExitUsage;
    Secret password;
    if (!ObtainKeyPassword(inv, key, &password, &error)) return UsageError(inv.command, error);
    int bits = OptionBits(inv);
    Outcome o = CallForText([&](char* out, int n) {
        return bits == 0 ? KVN_MakeSignatureFromXml(out, n, file.c_str(), key.c_str(), password.c_str())
                         : KVN_MakeSignatureFromXmlEx(out, n, file.c_str(), key.c_str(), password.c_str(), bits);
    });
    return Report(inv, o, Role::kKey, o.result, JsonString(o.result));
}

namespace {

// Signs into a private temporary file and copies it to standard output.
Outcome SignToStdout(const std::string& input, const std::string& key, const Secret& password,
                     const char* cert, int bits) {
    const char* dir = std::getenv("TMPDIR");
    std::string path = std::string(dir && *dir ? dir : "/tmp") + "/kelvane-XXXXXX";
    int fd = mkstemp(path.data());
    Outcome o;
    if (fd < 0) {
        o.code = -CREATE_ERROR;
        o.message = "cannot create a temporary file in " + fs::path(path).parent_path().string();
        return o;
    }
    close(fd);
    o = CallForStatus(KVN_SignXml(path.c_str(), input.c_str(), key.c_str(), password.c_str(), cert, bits));
    std::string signed_doc;
    if (o.ok() && !ReadFile(path, &signed_doc)) {
        o.code = -READ_ERROR;
        o.message = "cannot read back the signed document";
    }
    unlink(path.c_str());
    if (o.ok()) {
        WriteStdout(signed_doc);
        std::fflush(stdout);
    }
    return o;
}

}  // namespace

// sign FILE... --key KEY [--cert CERT] (-o OUT | --out-dir DIR | --in-place)
int RunSign(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, SIZE_MAX, "invoice file")) return kExitUsage;
    std::string key, error;
    if (!RequireOption(inv, "key", &key)) return kExitUsage;
    std::vector<BatchItem> items;
    if (!ExpandInputs(inv.positionals, &items, &error)) return UsageError(inv.command, error);
    if (items.empty()) return UsageError(inv.command, "no .xml files found");
    int targets = inv.has("output") + inv.has("out-dir") + inv.has("in-place");
    if (targets > 1) return UsageError(inv.command, "give only one of -o, --out-dir and --in-place");
    bool many = items.size() > 1;
    if (many && inv.has("output")) return UsageError(inv.command, "-o takes one input file; use --out-dir or --in-place");
    if (many && targets == 0) return UsageError(inv.command, "several inputs need --out-dir DIR or --in-place");
    if (targets == 0 && inv.json) return UsageError(inv.command, "--json needs -o, --out-dir or --in-place");

    Secret password;
    if (!ObtainKeyPassword(inv, key, &password, &error)) return UsageError(inv.command, error);
    std::optional<std::string> cert = inv.value("cert");
    const char* cert_arg = cert ? cert->c_str() : nullptr;
    int bits = OptionBits(inv);

    if (targets == 0) {
        Outcome o = SignToStdout(items[0].input, key, password, cert_arg, bits);
        if (!o.ok()) PrintFailure(inv.command, items[0].input, o);
        return o.ok() ? kExitOk : ExitStatusFor(o.code, Role::kKey);
    }
    if (auto dir = inv.value("out-dir")) {
        std::set<std::string> outputs;
        for (BatchItem& item : items) {
            item.output = (fs::path(*dir) / item.relative).string();
            if (!outputs.insert(item.output).second)
                return UsageError(inv.command, "two inputs would both be written to " + item.output);
        }
        std::error_code ec;
        for (const BatchItem& item : items) fs::create_directories(fs::path(item.output).parent_path(), ec);
    } else {
        for (BatchItem& item : items) item.output = inv.has("in-place") ? item.input : *inv.value("output");
    }
    return RunBatch(inv, BatchLabels{"signed", Role::kKey}, items, [&](const BatchItem& item) {
        return CallForStatus(KVN_SignXml(item.output.c_str(), item.input.c_str(), key.c_str(),
                                         password.c_str(), cert_arg, bits));
    });
}

// verify FILE... [--cert CERT]: checks each document's seal (or, with --stamp, the stamp's).
int RunVerify(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, SIZE_MAX, "invoice file")) return kExitUsage;
    std::vector<BatchItem> items;
    std::string error;
    if (!ExpandInputs(inv.positionals, &items, &error)) return UsageError(inv.command, error);
    if (items.empty()) return UsageError(inv.command, "no .xml files found");
    std::string cert = inv.value("cert").value_or("");
    int bits = OptionBits(inv);
    return RunBatch(inv, BatchLabels{"valid seal", Role::kVerify}, items, [&](const BatchItem& item) {
        if (auto unreadable = UnreadableInput(item.input)) return *unreadable;
        return CallForStatus(KVN_VerifySignature(item.input.c_str(), cert.empty() ? nullptr : cert.c_str(), bits));
    });
}

int RunExtractDigest(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "invoice file")) return kExitUsage;
    std::string file = inv.positionals[0], cert = inv.value("cert").value_or("");
    int bits = OptionBits(inv);
    if (auto unreadable = UnreadableInput(file)) return Report(inv, *unreadable, Role::kVerify, "", "");
    Outcome o = CallForText([&](char* out, int n) {
        return KVN_ExtractDigestFromSignature(out, n, file.c_str(), cert.empty() ? nullptr : cert.c_str(), bits);
    });
    return Report(inv, o, Role::kVerify, o.result, JsonString(o.result));
}

}  // namespace cli
