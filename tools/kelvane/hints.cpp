#include "hints.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "kelvane.h"

namespace cli {
namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.compare(0, std::strlen(prefix), prefix) == 0; }

// The file named in quotes in the library's first message ("Cannot open file 'x'/..."),
// or "".
std::string QuotedFile(const std::string& message) {
    const size_t open = message.find('\'');
    if (open == std::string::npos) return {};
    const size_t close = message.find("'/", open + 1);
    if (close == std::string::npos) return {};
    return message.substr(open + 1, close - open - 1);
}

// Why the system will not let us read path ("" when it would).
std::string ReadRefusal(const std::string& path) {
    if (path.empty()) return {};
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        close(fd);
        return {};
    }
    return std::strerror(errno);
}

// Why the system will not let us write path ("" when it would, as far as one can tell
// without writing): the file itself when it exists, else its directory.
std::string WriteRefusal(const std::string& path) {
    if (path.empty()) return {};
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
        return access(path.c_str(), W_OK) == 0 ? std::string() : std::strerror(errno);
    }
    if (errno != ENOENT) return std::strerror(errno);
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    return access(dir.c_str(), W_OK | X_OK) == 0 ? std::string() : "cannot create it there: " + std::string(std::strerror(errno));
}

// True when the document carries no seal to check: no sello (Sello in 3.3/4.0) on its
// root, or an empty one. Verification reports such a document by what it looks for first
// (the certificate when the document has none either).
bool Unsigned(const std::string& file) {
    if (file.empty()) return false;
    for (const char* name : {"sello", "Sello"}) {
        if (KVN_GetXmlAttribute(nullptr, 0, file.c_str(), name, "Comprobante") > 0) return false;
    }
    if (KVN_GetXmlAttribute(nullptr, 0, file.c_str(), "Sello", "Retenciones") > 0) return false;
    return KVN_XmlReceiptVersion(file.c_str()) >= 0;  // a document that can be read at all
}

std::string InputHint(const Outcome& outcome, const CallFiles& files) {
    std::vector<std::string> candidates = {QuotedFile(outcome.message), files.input, files.key, files.cert};
    for (const std::string& path : candidates) {
        const std::string reason = ReadRefusal(path);
        if (!reason.empty()) return "cannot read '" + path + "': " + reason;
    }
    return {};
}

std::string OutputHint(const Outcome& outcome, const CallFiles& files) {
    for (const std::string& path : {QuotedFile(outcome.message), files.output}) {
        const std::string reason = WriteRefusal(path);
        if (!reason.empty()) return "cannot write '" + path + "': " + reason;
    }
    return {};
}

}  // namespace

std::string PlainHint(const Outcome& outcome, Role role, const CallFiles& files) {
    if (outcome.ok()) return {};
    if (role == Role::kVerify && !files.stamp && (-outcome.code == BAD_PARAM_ERROR || -outcome.code == INVALID_DATA_ERROR) &&
        Unsigned(files.input)) {
        return "the document is not signed: it has no seal (sello, Sello in CFDI 3.3/4.0)";
    }
    switch (-outcome.code) {
    case OPEN_ERROR:
    case READ_ERROR:
    case EOF_ERROR:
        return InputHint(outcome, files);
    case CREATE_ERROR:
    case WRITE_ERROR:
        return OutputHint(outcome, files);
    case DECRYPT_ERROR:
        if (role == Role::kVerify) {
            return files.cert.empty() ? "the seal was not made with the key of the certificate the document carries"
                                      : "the seal was not made with this certificate's key";
        }
        return "the password is wrong, or the key file is damaged";
    case SIGNATURE_ERROR:
        return "the document no longer matches its seal: it was changed after it was sealed";
    case BAD_PARAM_ERROR:
        if (files.stamp && StartsWith(outcome.message, "No signature found")) {
            return "the document is not stamped: it has no stamp seal (selloSAT, SelloSAT in stamp 1.1)";
        }
        return {};
    default:
        return {};
    }
}

Outcome WithHint(Outcome outcome, Role role, const CallFiles& files) {
    outcome.hint = PlainHint(outcome, role, files);
    return outcome;
}

}  // namespace cli
