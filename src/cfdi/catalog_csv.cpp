#include "cfdi/catalog_csv.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <limits>

#include "base/lasterror.h"
#include "cfdi/document.h"

namespace kvn {
namespace {

constexpr std::string_view kValidFrom = "vigencia_desde";
constexpr std::string_view kValidUntil = "vigencia_hasta";
constexpr std::string_view kDescriptive[] = {"texto", "descripcion", "notas", "similares"};

// Catalogs whose key is not simply `id` or their first column, and the other columns that
// the rules read them by; a file of one of them without these columns is refused. The
// generator keeps the same table.
struct KnownLayout {
    std::string_view catalog;
    std::string_view key;
    std::string_view also[2];
};
constexpr KnownLayout kLayouts[] = {
    {"c_ClaveProdServ", "id", {}},
    {"c_CodigoPostal", "id", {}},
    {"c_Colonia", "colonia", {"codigo_postal"}},
    {"c_Estado", "estado", {"pais"}},
    {"c_Localidad", "localidad", {"estado"}},
    {"c_Municipio", "municipio", {"estado"}},
    {"c_NumPedimentoAduana", "aduana", {"patente", "ejercicio"}},
    {"c_TasaOCuota", "impuesto", {"factor"}},
};

// One record: its fields one after the other in `text`, each followed by a NUL.
struct Record {
    Vec<char> text;
    Vec<std::uint32_t> starts;  // where each field begins in text
    std::size_t line = 0;       // the line the record begins on

    std::size_t count() const noexcept { return starts.size(); }
    std::string_view field(std::size_t i) const noexcept {
        const std::size_t end = i + 1 < starts.size() ? starts[i + 1] : text.size();
        return std::string_view(text.data() + starts[i], end - 1 - starts[i]);
    }
};

// The RFC 4180 records of a file, one at a time.
class CsvReader {
public:
    CsvReader(const std::uint8_t* data, std::size_t size) noexcept : data_(data), size_(size) {
        if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF) pos_ = 3;
    }

    // 1 with the next record in r, 0 at the end of the input, -1 for a malformed record
    // (what() and line() say why and where).
    int Next(Record& r) {
        while (pos_ < size_ && IsBreak(data_[pos_])) SkipBreak();
        if (pos_ == size_) return 0;
        r.text.clear();
        r.starts.clear();
        r.line = line_;
        const std::size_t start = pos_;
        for (;;) {
            r.starts.push_back(static_cast<std::uint32_t>(r.text.size()));
            if (pos_ < size_ && data_[pos_] == '"') {
                if (!QuotedField(r.text)) return -1;
            } else if (!BareField(r.text)) {
                return -1;
            }
            r.text.push_back('\0');
            if (pos_ < size_ && data_[pos_] == ',') {
                ++pos_;
                continue;
            }
            break;
        }
        if (Utf8Check(data_ + start, pos_ - start) == 0) {
            Fail("not UTF-8 text", r.line);
            return -1;
        }
        if (pos_ < size_) SkipBreak();
        return 1;
    }

    const char* what() const noexcept { return what_; }
    std::size_t line() const noexcept { return errorLine_; }

private:
    static bool IsBreak(std::uint8_t c) noexcept { return c == '\r' || c == '\n'; }

    // Past one line break (CR LF, LF or CR).
    void SkipBreak() noexcept {
        if (data_[pos_] == '\r' && pos_ + 1 < size_ && data_[pos_ + 1] == '\n') ++pos_;
        ++pos_;
        ++line_;
    }

    // Notes why and where the input is malformed; false.
    bool Fail(const char* what, std::size_t line) noexcept {
        what_ = what;
        errorLine_ = line;
        return false;
    }

    bool BareField(Vec<char>& text) {
        const std::size_t begin = pos_;
        for (; pos_ < size_ && data_[pos_] != ',' && !IsBreak(data_[pos_]); ++pos_) {
            if (data_[pos_] == '"') return Fail("double quote in a field not enclosed in quotes", line_);
            if (data_[pos_] == 0) return Fail("NUL character", line_);
        }
        text.insert(text.end(), data_ + begin, data_ + pos_);
        return true;
    }

    // From the opening quote to past the closing one, which a comma, a line break or the
    // end of the input must follow. Line breaks inside are text, kept as written.
    bool QuotedField(Vec<char>& text) {
        const std::size_t opened = line_;
        ++pos_;
        for (;;) {
            if (pos_ == size_) return Fail("quoted field not closed", opened);
            const std::uint8_t c = data_[pos_];
            if (c == '"') {
                if (pos_ + 1 < size_ && data_[pos_ + 1] == '"') {
                    text.push_back('"');
                    pos_ += 2;
                    continue;
                }
                ++pos_;
                break;
            }
            if (c == 0) return Fail("NUL character", line_);
            if (IsBreak(c)) {
                if (c == '\r' && pos_ + 1 < size_ && data_[pos_ + 1] == '\n') text.push_back(static_cast<char>(data_[pos_++]));
                ++line_;
            }
            text.push_back(static_cast<char>(data_[pos_++]));
        }
        if (pos_ < size_ && data_[pos_] != ',' && !IsBreak(data_[pos_]))
            return Fail("text after the closing quote of a field", line_);
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
    std::size_t line_ = 1;
    const char* what_ = "";
    std::size_t errorLine_ = 0;
};

// Distinct NUL-terminated texts in one block, each stored once and named by its offset:
// catalogs repeat the same short values (dates, flags, state codes) on thousands of rows.
// An open-addressing table of offset + 1 (0: empty) finds a text already stored.
class StringPool {
public:
    explicit StringPool(Vec<char>& bytes) : bytes_(bytes) { Add(""); }

    std::uint32_t Add(std::string_view text) {
        if (2 * (count_ + 1) > slots_.size()) Grow();
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = Hash(text) & mask;
        for (; slots_[at]; at = (at + 1) & mask) {
            const std::size_t offset = slots_[at] - 1;
            // A stored text equals `text` when its bytes do and its NUL follows them.
            if (offset + text.size() < bytes_.size() && bytes_[offset + text.size()] == '\0' &&
                text.compare(0, text.size(), bytes_.data() + offset, text.size()) == 0)
                return static_cast<std::uint32_t>(offset);
        }
        const std::size_t offset = bytes_.size();
        // The block stays below kMaxAllocation (1 GiB), so offsets fit 32 bits.
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        bytes_.push_back('\0');
        slots_[at] = static_cast<std::uint32_t>(offset + 1);
        ++count_;
        return static_cast<std::uint32_t>(offset);
    }

private:
    static std::uint32_t Hash(std::string_view text) noexcept {
        std::uint32_t h = 2166136261u;  // FNV-1a
        for (char c : text) h = (h ^ static_cast<std::uint8_t>(c)) * 16777619u;
        return h;
    }

    void Grow() {
        Vec<std::uint32_t> old(std::max<std::size_t>(64, 2 * slots_.size()), 0);
        old.swap(slots_);
        const std::size_t mask = slots_.size() - 1;
        for (std::uint32_t entry : old) {
            if (!entry) continue;
            std::size_t at = Hash(bytes_.data() + entry - 1) & mask;
            while (slots_[at]) at = (at + 1) & mask;
            slots_[at] = entry;
        }
    }

    Vec<char>& bytes_;
    Vec<std::uint32_t> slots_;
    std::size_t count_ = 0;
};

// yyyymmdd of a date "YYYY-MM-DD" (year 1 or later, a day its month has); 0 for an empty
// field; -1 for anything else.
std::int32_t ParseDate(std::string_view s) noexcept {
    if (s.empty()) return 0;
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return -1;
    std::int32_t parts[3] = {0, 0, 0};
    const int ends[3] = {4, 7, 10};
    for (int p = 0, i = 0; p < 3; ++p, ++i) {
        for (; i < ends[p]; ++i) {
            if (s[i] < '0' || s[i] > '9') return -1;
            parts[p] = parts[p] * 10 + (s[i] - '0');
        }
    }
    const std::int32_t year = parts[0], month = parts[1], day = parts[2];
    static constexpr std::int32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1) return -1;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return -1;
    return year * 10000 + month * 100 + day;
}

// At most 40 bytes of a text for a message, cut on a character boundary.
std::string_view Shown(std::string_view text) noexcept {
    if (text.size() <= 40) return text;
    std::size_t n = 40;
    while (n > 0 && (static_cast<std::uint8_t>(text[n]) & 0xC0) == 0x80) --n;
    return text.substr(0, n);
}

Error Malformed(const char* path, const char* what, std::size_t line) {
    RecordError("Malformed catalog file '%s'/Archivo de catalogo mal formado: %s (Line/numero de linea: %zu)", path,
                what, line);
    return Error::BAD_FORMAT_ERROR;
}

const KnownLayout* LayoutOf(std::string_view catalog) noexcept {
    for (const KnownLayout& layout : kLayouts)
        if (layout.catalog == catalog) return &layout;
    return nullptr;
}

// The header's position of a column, or -1.
int Find(const Record& header, std::string_view column) noexcept {
    for (std::size_t i = 0; i < header.count(); ++i)
        if (header.field(i) == column) return static_cast<int>(i);
    return -1;
}

bool IsDescriptive(std::string_view column) noexcept {
    return std::find(std::begin(kDescriptive), std::end(kDescriptive), column) != std::end(kDescriptive);
}

// Where the header's columns go.
struct Layout {
    int key = 0;
    int validFrom = -1;
    int validUntil = -1;
    Vec<std::uint16_t> kept;  // header positions of the kept columns, in file order
};

// Checks the header (names present, none twice, the known catalogs' columns there) and
// says where its columns go; kOk or BAD_FORMAT_ERROR with the message recorded.
Error ReadHeader(const char* path, std::string_view catalog, const Record& header, Layout& layout) {
    char what[160];
    if (header.count() > std::numeric_limits<std::uint16_t>::max())
        return Malformed(path, "more than 65535 columns", header.line);
    TextSet seen;
    for (std::size_t i = 0; i < header.count(); ++i) {
        const std::string_view column = header.field(i);
        if (column.empty()) return Malformed(path, "empty column name", header.line);
        if (!seen.insert(column).second) {
            const std::string_view shown = Shown(column);
            std::snprintf(what, sizeof what, "column '%.*s' named twice", static_cast<int>(shown.size()), shown.data());
            return Malformed(path, what, header.line);
        }
    }
    const KnownLayout* known = LayoutOf(catalog);
    if (known) {
        for (std::string_view column : {known->key, known->also[0], known->also[1]}) {
            if (column.empty() || Find(header, column) >= 0) continue;
            std::snprintf(what, sizeof what, "no column '%.*s'", static_cast<int>(column.size()), column.data());
            return Malformed(path, what, header.line);
        }
        layout.key = Find(header, known->key);
    } else {
        layout.key = std::max(Find(header, "id"), 0);
    }
    layout.validFrom = Find(header, kValidFrom);
    layout.validUntil = Find(header, kValidUntil);
    for (std::size_t i = 0; i < header.count(); ++i) {
        const std::string_view column = header.field(i);
        const bool dropped = column == kValidFrom || column == kValidUntil || IsDescriptive(column);
        if (!dropped || static_cast<int>(i) == layout.key) layout.kept.push_back(static_cast<std::uint16_t>(i));
    }
    return kOk;
}

// The date of a validity column of a record: kOk, or BAD_FORMAT_ERROR recorded.
Error ReadDate(const char* path, const Record& r, int column, std::string_view name, std::int32_t& date) {
    date = 0;
    if (column < 0) return kOk;
    const std::string_view text = r.field(static_cast<std::size_t>(column));
    date = ParseDate(text);
    if (date >= 0) return kOk;
    char what[160];
    const std::string_view shown = Shown(text);
    std::snprintf(what, sizeof what, "%.*s '%.*s' is not a date (YYYY-MM-DD)", static_cast<int>(name.size()),
                  name.data(), static_cast<int>(shown.size()), shown.data());
    return Malformed(path, what, r.line);
}

}  // namespace

Error ParseCatalogCsv(const char* path, std::string_view name, const std::uint8_t* data, std::size_t size,
                      LoadedCatalog* out) {
    CsvReader reader(data, size);
    Record record;
    int got = reader.Next(record);
    if (got < 0) return Malformed(path, reader.what(), reader.line());
    if (got == 0) return Malformed(path, "no header row", 1);
    Layout layout;
    if (Error e = ReadHeader(path, name, record, layout); Failed(e)) return e;

    LoadedCatalog loaded;
    StringPool pool(loaded.pool_);
    const std::uint32_t nameOffset = pool.Add(name);
    std::uint16_t keyKept = 0;
    for (std::uint16_t at : layout.kept) {
        if (at == layout.key) keyKept = static_cast<std::uint16_t>(loaded.columns_.size());
        loaded.columns_.push_back(pool.Add(record.field(at)));
    }
    const std::size_t columns = record.count();
    const std::size_t width = layout.kept.size();

    // The rows in file order first; sorted below.
    Vec<std::uint32_t> fields;
    Vec<std::int32_t> validFrom, validUntil;
    while ((got = reader.Next(record)) > 0) {
        if (record.count() != columns) {
            char what[96];
            std::snprintf(what, sizeof what, "%zu fields where the header has %zu", record.count(), columns);
            return Malformed(path, what, record.line);
        }
        std::int32_t from = 0, until = 0;
        if (Error e = ReadDate(path, record, layout.validFrom, kValidFrom, from); Failed(e)) return e;
        if (Error e = ReadDate(path, record, layout.validUntil, kValidUntil, until); Failed(e)) return e;
        for (std::uint16_t at : layout.kept) fields.push_back(pool.Add(record.field(at)));
        validFrom.push_back(from);
        validUntil.push_back(until);
    }
    if (got < 0) return Malformed(path, reader.what(), reader.line());

    // Key order (unsigned bytes, as string_view compares), then by the start of validity,
    // then file order: a total order, so std::sort needs no buffer of its own.
    const std::size_t rows = validFrom.size();
    if (rows > std::numeric_limits<std::uint32_t>::max()) return Malformed(path, "too many rows", record.line);
    Vec<std::string_view> keys(rows);
    for (std::size_t r = 0; r < rows; ++r) keys[r] = loaded.pool_.data() + fields[r * width + keyKept];
    Vec<std::uint32_t> order(rows);
    for (std::size_t r = 0; r < rows; ++r) order[r] = static_cast<std::uint32_t>(r);
    std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        if (int c = keys[a].compare(keys[b])) return c < 0;
        if (validFrom[a] != validFrom[b]) return validFrom[a] < validFrom[b];
        return a < b;
    });
    loaded.fields_.reserve(fields.size());
    loaded.validFrom_.reserve(rows);
    loaded.validUntil_.reserve(rows);
    for (std::uint32_t r : order) {
        loaded.fields_.insert(loaded.fields_.end(), fields.begin() + r * width, fields.begin() + (r + 1) * width);
        loaded.validFrom_.push_back(validFrom[r]);
        loaded.validUntil_.push_back(validUntil[r]);
    }
    loaded.table_ = CatalogTable{loaded.pool_.data() + nameOffset,
                                 loaded.pool_.data(),
                                 loaded.columns_.data(),
                                 loaded.fields_.data(),
                                 loaded.validFrom_.data(),
                                 loaded.validUntil_.data(),
                                 static_cast<std::uint32_t>(rows),
                                 static_cast<std::uint16_t>(width),
                                 keyKept};
    *out = std::move(loaded);
    return kOk;
}

}  // namespace kvn
