// Document commands: version, attribute, pipestring, digest, seal, sign, verify and
// extract-digest (validate is in commands_validate.cpp).
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <thread>

#include "batch.h"
#include "commands.h"
#include "hints.h"
#include "kelvane.h"
#include "library.h"
#include "sign_checks.h"
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
    case KVN_VERSION_RET10: return "Retenciones 1.0";
    case KVN_VERSION_RET20: return "Retenciones 2.0";
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

}  // namespace

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

std::optional<Outcome> UnreadableCertificate(const std::string& cert) {
    if (cert.empty() || cert.find("-----BEGIN") != std::string::npos) return std::nullopt;
    // A certificate given as one base64 line (more than 256 characters, DER's "MI..." start).
    if (cert.size() > 256 && cert[0] == 'M' &&
        cert.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\r\n") ==
            std::string::npos) {
        return std::nullopt;
    }
    return UnreadableInput(cert);
}

namespace {

// Documents up to CFDI 3.2 are sealed only in the attributes their root already carries
// (the library's long-standing behaviour, which callers of the library keep): one whose root
// has no sello would come out unsealed. The tool refuses such a document before anything is
// written, and notes a certificate that cannot be embedded. CFDI 3.3 and 4.0 roots get
// whatever they lack from the library.
std::optional<Outcome> RefuseUnsealable(const std::string& file, int version, bool with_cert, std::string* note) {
    // CFD 2.0 and 2.2, CFDI 3.0 and 3.2; anything else the library adds to or reports.
    if (version != 2 && version != 22 && version != 3 && version != 32) return std::nullopt;
    auto has = [&](const char* name) {
        return KVN_GetXmlAttribute(nullptr, 0, file.c_str(), name, "Comprobante") >= 0;
    };
    if (!has("sello")) {
        Outcome o;
        o.code = -MISSING_ERROR;
        o.message = "the root Comprobante has no sello attribute, so the document would not be sealed";
        o.hint = "add sello=\"\" to the root (and noCertificado=\"\" certificado=\"\" to embed the certificate), "
                 "then sign again";
        return o;
    }
    note->clear();
    if (with_cert) {
        std::string missing;
        for (const char* name : {"certificado", "noCertificado"}) {
            if (has(name)) continue;
            if (!missing.empty()) missing += " and ";
            missing += name;
        }
        if (!missing.empty()) {
            *note = "the certificate was not embedded: the root has no " + missing + " attribute";
        }
    }
    return std::nullopt;
}

// The certificate number of the document's first stamp: NoCertificadoSAT (stamp 1.1) or
// noCertificadoSAT (1.0); "" when there is none.
std::string StampCertificateNumber(const std::string& file) {
    for (const char* name : {"NoCertificadoSAT", "noCertificadoSAT"}) {
        Outcome o = CallForText([&](char* out, int n) {
            return KVN_GetXmlAttribute(out, n, file.c_str(), name, "tfd:TimbreFiscalDigital");
        });
        if (o.ok() && !o.result.empty()) return o.result;
    }
    return {};
}

// The authority's stamping certificates in one folder, found by their number. The folder
// is read once, when the first number is asked for; the workers of a batch share it.
class StampCertificates {
public:
    explicit StampCertificates(std::string dir) : dir_(std::move(dir)) {}

    // The certificate file numbered `number`, or "".
    std::string Find(const std::string& number) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!read_) Read();
        auto it = by_number_.find(number);
        return it == by_number_.end() ? std::string() : it->second;
    }
    const std::string& dir() const { return dir_; }

private:
    void Read() {
        read_ = true;
        std::error_code ec;
        std::vector<fs::path> files;
        for (fs::directory_iterator it(dir_, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
            std::error_code ec2;
            if (it->is_regular_file(ec2)) files.push_back(it->path());
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& f : files) {
            const std::string path = f.string();
            Outcome o = CallForText([&](char* out, int n) { return KVN_GetCertNumber(out, n, path.c_str()); });
            if (o.ok() && !o.result.empty()) by_number_.emplace(o.result, path);
        }
    }

    std::string dir_;
    std::mutex mutex_;
    bool read_ = false;
    std::map<std::string, std::string> by_number_;
};

// The stamping certificate of file's stamp from the folder: its path, or the failure.
Outcome FindStampCertificate(const std::string& file, StampCertificates& certificates) {
    Outcome o;
    const std::string number = StampCertificateNumber(file);
    if (number.empty()) {
        o.code = -MISSING_ERROR;
        o.message = "the document has no stamp with a NoCertificadoSAT";
        return o;
    }
    o.result = certificates.Find(number);
    if (o.result.empty()) {
        o.code = -OPEN_ERROR;
        o.message = "no certificate numbered " + number + " in '" + certificates.dir() + "'";
        o.hint = "put the authority's certificate " + number + " there, or give it with -c";
    }
    return o;
}

}  // namespace

int RunDocVersion(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "invoice file")) return kExitUsage;
    int v = KVN_XmlReceiptVersion(inv.positionals[0].c_str());
    Outcome o = WithHint(CallForStatus(v), Role::kDocument, CallFiles{inv.positionals[0]});
    JsonObject r;
    if (o.ok()) r.Add("number", v).Add("name", VersionName(v));
    return Report(inv, o, Role::kDocument, o.ok() ? VersionName(v) + " (" + std::to_string(v) + ")" : "", r.str());
}

// The root element a document's seal attributes are on: Retenciones in those documents,
// else Comprobante (also when the version cannot be read: the query then reports why).
std::string RootName(const std::string& file) {
    const int version = KVN_XmlReceiptVersion(file.c_str());
    return version == KVN_VERSION_RET10 || version == KVN_VERSION_RET20 ? "Retenciones" : "Comprobante";
}

// attribute FILE NAME [ELEMENT]: the value of one attribute; ELEMENT defaults to the root
// (Comprobante, in any namespace, or Retenciones) and may carry an occurrence, as in
// cfdi:Concepto[2].
int RunAttribute(const Invocation& inv) {
    if (!ExpectArguments(inv, 2, 3, "invoice file and attribute name")) return kExitUsage;
    std::string file = inv.positionals[0], name = inv.positionals[1];
    std::string element = inv.positionals.size() > 2 ? inv.positionals[2] : RootName(file);
    Outcome o = CallForText([&](char* out, int n) {
        return KVN_GetXmlAttribute(out, n, file.c_str(), name.c_str(), element.c_str());
    });
    o = WithHint(o, Role::kQuery, CallFiles{file});
    return Report(inv, o, Role::kQuery, o.result + "\n", JsonString(o.result));
}

int RunPipeString(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "invoice file")) return kExitUsage;
    std::string file = inv.positionals[0];
    int bits = OptionBits(inv);
    Outcome o = CallForText([&](char* out, int n) { return KVN_MakePipeStringFromXml(out, n, file.c_str(), bits); });
    o = WithHint(o, Role::kDocument, CallFiles{file});
    return Report(inv, o, Role::kDocument, o.result + "\n", JsonString(o.result));
}

int RunDigest(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "invoice file")) return kExitUsage;
    std::string file = inv.positionals[0];
    int bits = OptionBits(inv);
    Outcome o = CallForText([&](char* out, int n) { return KVN_MakeDigestFromXml(out, n, file.c_str(), bits); });
    o = WithHint(o, Role::kDocument, CallFiles{file});
    return Report(inv, o, Role::kDocument, o.result, JsonString(o.result));
}

namespace {

// seal with several files: the key read once, each seal on a line "FILE: SEAL" in the
// order given; a file that fails is reported and the rest go on.
int SealMany(const Invocation& inv, const std::string& key, const Secret& password, int bits) {
    SignerSession session(key.c_str(), password.c_str(), nullptr);
    if (!session.outcome().ok()) {
        if (inv.json) return Report(inv, session.outcome(), Role::kKey, "", "null");
        PrintFailure(inv.command, key, session.outcome());
        return ExitStatusFor(session.outcome().code, Role::kKey);
    }
    int status = kExitOk;
    std::vector<std::string> results;
    for (const std::string& file : inv.positionals) {
        Outcome o = CallForText([&](char* out, int n) {
            return KVN_MakeSignatureWithSigner(out, n, session.handle(), file.c_str(), bits);
        });
        if (!o.ok()) status = std::max(status, ExitStatusFor(o.code, Role::kKey));
        if (inv.json) {
            JsonObject r;
            r.Add("file", file);
            AddStatus(&r, o);
            r.AddRaw("result", o.ok() ? JsonString(o.result) : "null");
            results.push_back(r.str());
        } else if (o.ok()) {
            WriteStdout(file + ": " + o.result + "\n");
        } else {
            PrintFailure(inv.command, file, o);
        }
    }
    if (inv.json) {
        JsonObject o;
        o.Add("command", inv.command).Add("ok", status == kExitOk).AddRaw("results", JsonArray(results));
        WriteStdout(o.str() + "\n");
    }
    return status;
}

}  // namespace

// seal FILE... --key KEY: the base64 seal each document would carry, without writing anything.
int RunSeal(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, SIZE_MAX, "invoice file")) return kExitUsage;
    std::string key, error, file = inv.positionals[0];
    if (!RequireOption(inv, "key", &key)) return kExitUsage;
    Secret password;
    if (!ObtainKeyPassword(inv, key, &password, &error)) return UsageError(inv.command, error);
    int bits = OptionBits(inv);
    if (inv.positionals.size() > 1) return SealMany(inv, key, password, bits);
    Outcome o = CallForText([&](char* out, int n) {
        return bits == 0 ? KVN_MakeSignatureFromXml(out, n, file.c_str(), key.c_str(), password.c_str())
                         : KVN_MakeSignatureFromXmlEx(out, n, file.c_str(), key.c_str(), password.c_str(), bits);
    });
    o = WithHint(o, Role::kKey, CallFiles{file, key});
    return Report(inv, o, Role::kKey, o.result, JsonString(o.result));
}

namespace {

// Signs into a private temporary file and copies it to standard output. A regular file
// that standard output names is written over in place by the shell's redirection, and an
// appended one kept, which a replacement of the file by the library would not do.
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

// Flushes the file system that holds `dir` to disk (syncfs).
bool SyncFileSystem(const std::string& dir, std::string* error) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::syncfs(fd) != 0) {
        *error = dir + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    ::close(fd);
    return true;
}

// While a batch writes into a folder that is flushed to disk as a whole at the end, the
// folder's file system is flushed every second from another thread: the disk takes the
// early files while the later ones are signed, and the final flush finds little left to
// wait for. Errors are left to the final flush, which reports them.
class BackgroundFlush {
public:
    explicit BackgroundFlush(const std::string& dir) : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        if (fd_ < 0) return;
        try {
            thread_ = std::thread([this] { Run(); });
        } catch (const std::system_error&) {
            // no thread: everything is flushed at the end
        }
    }
    ~BackgroundFlush() {
        Stop();
        if (fd_ >= 0) ::close(fd_);
    }
    BackgroundFlush(const BackgroundFlush&) = delete;
    BackgroundFlush& operator=(const BackgroundFlush&) = delete;

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stop_; })) {
            lock.unlock();
            (void)::syncfs(fd_);
            lock.lock();
        }
    }

    const int fd_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

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

    if (cert) {
        if (auto unreadable = UnreadableCertificate(*cert)) {
            return Report(inv, WithHint(*unreadable, Role::kKey, CallFiles{"", "", *cert}), Role::kKey, "", "");
        }
    }
    const bool checks = !inv.has("no-checks");
    // The certificate given is read for the checks once, whatever the number of documents.
    const std::optional<CertificateFacts> certFacts =
        checks && cert ? std::optional<CertificateFacts>(ReadCertificateFacts(*cert)) : std::nullopt;
    // The certificate and document checks; a refusal stands for the signing's outcome.
    // The document's version is read once for both.
    auto checked = [&](const std::string& input, int version, std::string* warning) -> std::optional<Outcome> {
        warning->clear();
        if (!checks) return std::nullopt;
        return CheckBeforeSigning(input, version, certFacts ? &*certFacts : nullptr, inv.has("validate"), warning);
    };
    if (targets == 0) {
        std::string note, warning;
        const int version = KVN_XmlReceiptVersion(items[0].input.c_str());
        std::optional<Outcome> refused = checked(items[0].input, version, &warning);
        if (!refused) refused = RefuseUnsealable(items[0].input, version, cert_arg != nullptr, &note);
        if (!warning.empty()) note = note.empty() ? warning : warning + "; " + note;
        Outcome o = refused ? *refused : SignToStdout(items[0].input, key, password, cert_arg, bits);
        o = WithHint(o, Role::kKey, CallFiles{items[0].input, key, cert.value_or(""), "", false});
        if (refused) o.hint = refused->hint;
        if (!o.ok()) PrintFailure(inv.command, items[0].input, o);
        o.note = o.ok() ? note : "";
        PrintNote(inv.command, items[0].input, o);
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
    // Many files: the key is read and the certificate checked once, for the whole batch.
    std::optional<SignerSession> session;
    if (items.size() > 1) {
        session.emplace(key.c_str(), password.c_str(), cert_arg);
        if (!session->outcome().ok()) {
            Outcome o = WithHint(session->outcome(), Role::kKey, CallFiles{"", key, cert.value_or(""), "", false});
            if (inv.json) return Report(inv, o, Role::kKey, "", "null");
            PrintFailure(inv.command, key, o);
            return ExitStatusFor(o.code, Role::kKey);
        }
    }
    // A batch into --out-dir leaves the originals untouched: its files are flushed to disk
    // once at the end rather than one by one (a crash before then means signing again).
    const bool syncAtEnd = session && inv.has("out-dir");
    const int signBits = syncAtEnd ? bits | KVN_OPT_NOSYNC : bits;
    std::optional<BackgroundFlush> flusher;
    if (syncAtEnd) flusher.emplace(*inv.value("out-dir"));
    int status = RunBatch(inv, BatchLabels{"signed", Role::kKey}, items, [&](const BatchItem& item) {
        std::string note, warning;
        const int version = KVN_XmlReceiptVersion(item.input.c_str());
        if (auto refused = checked(item.input, version, &warning)) return *refused;
        if (auto refused = RefuseUnsealable(item.input, version, cert_arg != nullptr, &note)) return *refused;
        if (!warning.empty()) note = note.empty() ? warning : warning + "; " + note;
        Outcome o = CallForStatus(
            session ? KVN_SignXmlWithSigner(session->handle(), item.output.c_str(), item.input.c_str(), signBits)
                    : KVN_SignXml(item.output.c_str(), item.input.c_str(), key.c_str(), password.c_str(), cert_arg, bits));
        o = WithHint(o, Role::kKey, CallFiles{item.input, key, cert.value_or(""), item.output, false});
        if (o.ok()) o.note = note;
        return o;
    });
    if (flusher) flusher->Stop();
    if (syncAtEnd && !SyncFileSystem(*inv.value("out-dir"), &error)) {
        std::fprintf(stderr, "kelvane sign: the signed files were not flushed to disk: %s\n", error.c_str());
        return std::max(status, static_cast<int>(kExitOutput));
    }
    return status;
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
    const bool stamp = inv.has("stamp");
    if (auto unreadable = UnreadableCertificate(cert)) {
        return Report(inv, WithHint(*unreadable, Role::kVerify, CallFiles{"", "", cert}), Role::kVerify, "", "");
    }
    // The stamp's certificate: -c, else the folder of the authority's certificates
    // (--sat-certs, or KELVANE_SAT_CERTS) searched by the stamp's NoCertificadoSAT.
    std::string folder = inv.value("sat-certs").value_or("");
    if (folder.empty()) {
        const char* env = std::getenv("KELVANE_SAT_CERTS");
        folder = env ? env : "";
    }
    if (inv.has("sat-certs") && !stamp) return UsageError(inv.command, "--sat-certs goes with --stamp");
    std::error_code ec;
    if (stamp && cert.empty() && !folder.empty() && !fs::is_directory(folder, ec)) {
        return UsageError(inv.command, "'" + folder + "' is not a folder of certificates");
    }
    StampCertificates certificates(folder);
    const bool search = stamp && cert.empty() && !folder.empty();
    return RunBatch(inv, BatchLabels{stamp ? "valid stamp" : "valid seal", Role::kVerify}, items,
                    [&](const BatchItem& item) {
        if (auto unreadable = UnreadableInput(item.input)) return WithHint(*unreadable, Role::kVerify, CallFiles{item.input});
        std::string use = cert;
        if (search) {
            Outcome found = FindStampCertificate(item.input, certificates);
            if (!found.ok()) return found;
            use = found.result;
        }
        Outcome o = CallForStatus(KVN_VerifySignature(item.input.c_str(), use.empty() ? nullptr : use.c_str(), bits));
        return WithHint(o, Role::kVerify, CallFiles{item.input, "", use, "", stamp});
    });
}

int RunExtractDigest(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "invoice file")) return kExitUsage;
    std::string file = inv.positionals[0], cert = inv.value("cert").value_or("");
    int bits = OptionBits(inv);
    if (auto unreadable = UnreadableInput(file)) {
        return Report(inv, WithHint(*unreadable, Role::kVerify, CallFiles{file}), Role::kVerify, "", "");
    }
    if (auto unreadable = UnreadableCertificate(cert)) {
        return Report(inv, WithHint(*unreadable, Role::kVerify, CallFiles{"", "", cert}), Role::kVerify, "", "");
    }
    Outcome o = CallForText([&](char* out, int n) {
        return KVN_ExtractDigestFromSignature(out, n, file.c_str(), cert.empty() ? nullptr : cert.c_str(), bits);
    });
    o = WithHint(o, Role::kVerify, CallFiles{file, "", cert, "", inv.has("stamp")});
    return Report(inv, o, Role::kVerify, o.result, JsonString(o.result));
}

}  // namespace cli
