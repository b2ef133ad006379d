#include "cfdi/document.h"

#include <cstdio>
#include <cstring>

#include "base/lasterror.h"
#include "kelvane.h"

namespace kvn {
namespace {

constexpr std::uint8_t kBom[3] = {0xEF, 0xBB, 0xBF};

// Number of bytes of a sequence announced by lead byte b (0 when b cannot lead).
int SequenceLength(std::uint8_t b) {
    if (b < 0x80) return 1;
    if (b < 0xC2) return 0;  // continuation bytes, and C0/C1 (always overlong)
    if ((b & 0xE0) == 0xC0) return 2;
    if ((b & 0xF0) == 0xE0) return 3;
    if ((b & 0xF8) == 0xF0) return 4;
    if ((b & 0xFC) == 0xF8) return 5;
    if ((b & 0xFE) == 0xFC) return 6;
    return 0;
}

bool StartsWith(const std::uint8_t* p, std::size_t left, std::uint8_t a, std::uint8_t b, std::uint8_t c) {
    return left >= 3 && p[0] == a && p[1] == b && p[2] == c;
}

// The three-byte sequences refused outright: U+FFFE, U+FFFF and the surrogate boundaries.
bool ForbiddenTriple(const std::uint8_t* p, std::size_t left) {
    static constexpr std::uint8_t kTriples[][3] = {
        {0xEF, 0xBF, 0xBE}, {0xEF, 0xBF, 0xBF}, {0xED, 0xA0, 0x80}, {0xED, 0xAD, 0xBF},
        {0xED, 0xAE, 0x80}, {0xED, 0xAF, 0xBF}, {0xED, 0xB0, 0x80}, {0xED, 0xBE, 0x80},
        {0xED, 0xBF, 0xBF}};
    for (const auto& t : kTriples) {
        if (StartsWith(p, left, t[0], t[1], t[2])) return true;
    }
    return false;
}

}  // namespace

namespace {
thread_local bool t_documentText = false;

// A read-only stream over the text itself. An empty text gives a stream at its end (some
// C libraries refuse a zero-length buffer), so that it fails as an empty file does.
FilePtr OpenText(const char* text) {
    static const char kNothing[1] = {0};
    const std::size_t n = std::strlen(text);
    FilePtr f(fmemopen(const_cast<char*>(n ? text : kNothing), n ? n : 1, "rb"));
    if (f && n == 0) std::fseek(f.get(), 0, SEEK_END);
    return f;
}
}  // namespace

DocumentTextScope::DocumentTextScope(bool on) noexcept : saved_(t_documentText) { t_documentText = on; }
DocumentTextScope::~DocumentTextScope() { t_documentText = saved_; }

bool DocumentIsText() noexcept { return t_documentText; }

const char* DocumentLabel(const char* xmlFile) noexcept { return t_documentText ? "(document text)" : xmlFile; }

namespace {
thread_local const HeldDocumentScope* t_held = nullptr;
}  // namespace

HeldDocumentScope::HeldDocumentScope(const char* xmlFile) : saved_(t_held) {
    // Reading may throw (out of memory): the scope is put in place only once it stands.
    if (!t_documentText && ReadWholeFile(xmlFile, bytes_, kHeldDocumentMax)) name_ = xmlFile;
    t_held = this;
}

HeldDocumentScope::~HeldDocumentScope() { t_held = saved_; }

FilePtr HeldDocumentScope::OpenIfHeld(const char* xmlFile) const {
    if (!name_ || std::strcmp(name_, xmlFile) != 0) return nullptr;
    // An empty file gives a stream at its end, as OpenText does.
    static const char kNothing[1] = {0};
    const bool empty = bytes_.empty();
    FilePtr f(fmemopen(empty ? const_cast<char*>(kNothing) : reinterpret_cast<char*>(const_cast<std::uint8_t*>(bytes_.data())),
                       empty ? 1 : bytes_.size(), "rb"));
    if (f && empty) std::fseek(f.get(), 0, SEEK_END);
    return f;
}

FilePtr OpenDocument(const char* xmlFile) {
    FilePtr f;
    if (t_documentText) {
        f = OpenText(xmlFile);
    } else {
        if (t_held) f = t_held->OpenIfHeld(xmlFile);
        if (!f) f = OpenForReading(xmlFile);
    }
    if (!f) RecordError("Cannot open file '%s'/No se puede abrir el archivo", DocumentLabel(xmlFile));
    return f;
}

int Utf8Check(const std::uint8_t* bytes, std::size_t n) {
    int result = 1;
    std::size_t i = 0;
    while (i < n) {
        std::uint8_t b = bytes[i];
        if (b == 0xFE || b == 0xFF) return 0;
        int len = SequenceLength(b);
        if (len == 0) return 0;
        if (len == 1) {
            ++i;
            continue;
        }
        if (i + static_cast<std::size_t>(len) > n) return 0;  // ends inside a sequence
        // An E0, F0, F8 or FC lead whose next byte carries no further value bits is overlong.
        if ((b == 0xE0 || b == 0xF0 || b == 0xF8 || b == 0xFC) && (bytes[i + 1] & b) == 0x80) return 0;
        if (len == 3 && ForbiddenTriple(bytes + i, n - i)) return 0;
        for (int k = 1; k < len; ++k) {
            std::uint8_t c = bytes[i + k];
            if (c == 0xFE || c == 0xFF || (c & 0xC0) != 0x80) return 0;
        }
        if (len == 2 && (b == 0xC2 || b == 0xC3)) {
            if (result < 2) result = 2;
        } else {
            result = 3;
        }
        i += static_cast<std::size_t>(len);
    }
    return result;
}

Error FixBom(const char* outputFile, const char* inputFile) {
    Bytes data;
    {
        FilePtr in = OpenForReading(inputFile);
        if (!in) {
            RecordError("Cannot open file '%s'/No se puede abrir el archivo", inputFile);
            return Error::OPEN_ERROR;
        }
        if (!ReadAll(in.get(), data)) {
            RecordError("Error reading file '%s'/Error al leer el archivo", inputFile);
            return Error::READ_ERROR;
        }
    }
    if (Utf8Check(data.data(), data.size()) == 0) {
        RecordError("File '%s' is not valid UTF-8/El archivo no es valido UTF-8", inputFile);
        return Error::BAD_FORMAT_ERROR;
    }
    // The copy goes to a new file beside the target and replaces it only when complete,
    // so a failure leaves outputFile (which may be inputFile) as it was.
    ReplacingOutput out;
    if (!out.Open(outputFile)) {
        RecordError("Unable to write to file '%s'/No es posible escribir en el archivo", outputFile);
        return Error::WRITE_ERROR;
    }
    bool has_bom = StartsWith(data.data(), data.size(), kBom[0], kBom[1], kBom[2]);
    bool written = (has_bom || out.Write(kBom, sizeof kBom)) && out.Write(data.data(), data.size());
    if (!written || !out.Commit()) {
        RecordError("Unable to write to file '%s'/No es posible escribir en el archivo", outputFile);
        return Error::WRITE_ERROR;
    }
    return kOk;
}

}  // namespace kvn
