// json and table: invoices as data (KVN_XmlToJson, KVN_TableRows). The rows come from the
// library as text; this file only gathers the documents (files, folders, ZIP entries),
// spreads them over threads and writes CSV.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "batch.h"
#include "commands.h"
#include "kelvane.h"
#include "library.h"
#include "output.h"
#include "zip_reader.h"

namespace fs = std::filesystem;

namespace cli {
namespace {

bool HasSuffix(const std::string& s, const char* suffix) {
    const size_t n = std::char_traits<char>::length(suffix);
    if (s.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        if (std::tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i]) return false;
    }
    return true;
}

// One document of a table: a file, or an entry of an open archive.
struct Source {
    std::string name;                    // the file column: the path, or ARCHIVE:ENTRY
    const ZipArchive* archive = nullptr;
    const ZipEntry* entry = nullptr;
    std::string refused;                 // why an archive or entry gives no document
};

// Files as given; folders searched for *.xml and *.zip (sorted by path); archives opened
// and listed. An archive that cannot be read is one source with its reason.
bool Gather(const std::vector<std::string>& args, std::vector<std::unique_ptr<ZipArchive>>* archives,
            std::vector<Source>* sources, std::string* error) {
    std::vector<std::string> files;
    for (const std::string& arg : args) {
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            std::vector<std::string> found;
            for (fs::recursive_directory_iterator it(arg, ec), end; !ec && it != end; it.increment(ec)) {
                if (!it->is_regular_file(ec)) continue;
                const std::string path = it->path().string();
                if (HasSuffix(path, ".xml") || HasSuffix(path, ".zip")) found.push_back(path);
            }
            if (ec) {
                *error = "cannot read directory '" + arg + "': " + ec.message();
                return false;
            }
            std::sort(found.begin(), found.end());
            files.insert(files.end(), found.begin(), found.end());
        } else {
            files.push_back(arg);
        }
    }
    for (const std::string& file : files) {
        if (!HasSuffix(file, ".zip")) {
            sources->push_back(Source{file});
            continue;
        }
        auto archive = std::make_unique<ZipArchive>();
        std::string why;
        if (!archive->Open(file, &why)) {
            sources->push_back(Source{file, nullptr, nullptr, "Cannot read ZIP archive '" + file + "': " + why +
                                                                  "/No se puede leer el archivo ZIP"});
            continue;
        }
        for (const ZipEntry& e : archive->entries()) sources->push_back(Source{file + ":" + e.name, archive.get(), &e});
        archives->push_back(std::move(archive));
    }
    return true;
}

// The rows text of KVN_TableRows: header line, then rows.
struct RowsText {
    std::string text;
    bool failed = false;    // some row has status error
    bool unreadable = false;
};

std::string Escape(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '\\') out += "\\\\";
        else if (c == '\t') out += "\\t";
        else if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else out += c;
    }
    return out;
}

// An error row in the library's text form, for a source the library never saw.
std::string ErrorRows(const std::string& header, const std::string& reason) {
    const size_t columns = static_cast<size_t>(std::count(header.begin(), header.end(), '\t')) + 1;
    std::string row = "error\t" + Escape(reason);
    for (size_t i = 2; i < columns; ++i) row += "\t\\N";
    return header + "\n" + row + "\n";
}

// For exports that answer the whole length even when the buffer was too short for it
// (KVN_TableRows, KVN_XmlToJson): one call with a buffer that usually holds the answer,
// a second one only for a longer answer. Each call reads the whole document, so asking
// for the length first would read every document twice.
Outcome CallForWholeText(const BufferCall& call) {
    thread_local std::string buffer(64 * 1024, '\0');
    for (int round = 0; round < 4; ++round) {
        const int capacity = static_cast<int>(buffer.size()) - 1;
        const int got = call(buffer.data(), capacity);
        if (got < 0) return CallForText([&](char*, int) { return got; });
        if (got <= capacity) {
            Outcome o;
            o.result.assign(buffer.data(), static_cast<size_t>(got));
            return o;
        }
        buffer.assign(static_cast<size_t>(got) + 1, '\0');
    }
    return CallForText(call);
}

std::string Header(int options) {
    Outcome o = CallForText([&](char* out, int n) { return KVN_TableRows(out, n, "", options | KVN_OPT_XMLTEXT); });
    return o.result.substr(0, o.result.find('\n'));
}

RowsText RowsOf(const Source& s, int options, const std::string& header) {
    RowsText r;
    std::string reason = s.refused;
    std::string document;
    if (reason.empty() && s.entry) {
        if (!s.archive->Read(*s.entry, &document, &reason)) reason = "ZIP entry refused: " + reason;
        else if (document.find('\0') != std::string::npos)
            reason = "Document contains a NUL byte/El documento contiene un byte nulo";
    }
    if (!reason.empty()) {
        r.text = ErrorRows(header, reason);
        r.failed = true;
        return r;
    }
    const char* argument = s.entry ? document.c_str() : s.name.c_str();
    const int bits = options | (s.entry ? KVN_OPT_XMLTEXT : 0);
    Outcome o = CallForWholeText([&](char* out, int n) { return KVN_TableRows(out, n, argument, bits); });
    if (!o.ok()) {
        r.text = ErrorRows(header, o.message);
        r.failed = true;
        return r;
    }
    r.text = std::move(o.result);
    r.failed = r.text.find("\nerror\t") != std::string::npos;
    r.unreadable = r.failed && r.text.find("\nerror\tCannot open file") != std::string::npos;
    return r;
}

std::string Unescape(const std::string& field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\' || i + 1 == field.size()) {
            out += field[i];
            continue;
        }
        const char c = field[++i];
        out += c == 't' ? '\t' : c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    }
    return out;
}

// RFC 4180: a field with a comma, quote, CR or LF is quoted, quotes doubled. An absent
// value is an empty field.
std::string CsvField(const std::string& raw) {
    if (raw == "\\N") return "";
    const std::string v = Unescape(raw);
    if (v.find_first_of(",\"\r\n") == std::string::npos) return v;
    std::string out = "\"";
    for (char c : v) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

// The CSV lines of one source's rows (the header line dropped), each prefixed by the file.
std::string CsvRows(const std::string& name, const std::string& rows) {
    std::string out;
    size_t at = rows.find('\n');
    if (at == std::string::npos) return out;
    ++at;
    while (at < rows.size()) {
        size_t end = rows.find('\n', at);
        if (end == std::string::npos) end = rows.size();
        out += CsvField(Escape(name));
        size_t start = at;
        for (size_t i = at; i <= end; ++i) {
            if (i == end || rows[i] == '\t') {
                out += ',' + CsvField(rows.substr(start, i - start));
                start = i + 1;
            }
        }
        out += "\r\n";
        at = end + 1;
    }
    return out;
}

std::string CsvHeader(const std::string& header) {
    std::string out = "file";
    size_t start = 0;
    for (size_t i = 0; i <= header.size(); ++i) {
        if (i == header.size() || header[i] == '\t') {
            out += ',' + header.substr(start, i - start);
            start = i + 1;
        }
    }
    return out + "\r\n";
}

// The output: a new file beside the target, renamed over it when complete (so a failed
// run leaves the target as it was), or standard output.
class TableOutput {
public:
    bool Open(const std::string& target, std::string* error) {
        if (target.empty() || target == "-") {
            file_ = stdout;
            return true;
        }
        target_ = target;
        std::error_code ec;
        if (fs::is_directory(target, ec)) {
            *error = "Output '" + target + "' is a directory/La salida es un directorio";
            return false;
        }
        if (fs::exists(target, ec) && !fs::is_regular_file(target, ec)) {  // a device or pipe: written in place
            file_ = std::fopen(target.c_str(), "wb");
            if (!file_) *error = "Unable to write to file '" + target + "'/No es posible escribir en el archivo";
            return file_ != nullptr;
        }
        // A link stays a link: the file it points to is the one replaced.
        if (fs::is_symlink(target, ec)) target_ = fs::weakly_canonical(target, ec).string();
        const fs::path dir = fs::path(target_).parent_path();
        std::random_device rd;
        temp_ = (dir.empty() ? fs::path(".") : dir) / (".kelvane-table-" + std::to_string(rd()) + ".tmp");
        file_ = std::fopen(temp_.c_str(), "wbx");
        if (!file_) *error = "Unable to write to file '" + target + "'/No es posible escribir en el archivo";
        return file_ != nullptr;
    }
    bool Write(const std::string& s) { return std::fwrite(s.data(), 1, s.size(), file_) == s.size(); }
    bool Commit() {
        if (file_ == stdout) return std::fflush(stdout) == 0;
        const bool ok = std::fflush(file_) == 0 && (temp_.empty() || ::fsync(fileno(file_)) == 0);
        const bool closed = std::fclose(file_) == 0;
        file_ = nullptr;
        if (temp_.empty()) return ok && closed;
        std::error_code ec;
        // The new file takes an existing one's permission bits.
        std::error_code missing;
        const fs::file_status old = fs::status(target_, missing);
        if (ok && closed && !missing && fs::is_regular_file(old)) fs::permissions(temp_, old.permissions(), ec);
        if (ok && closed && !ec) fs::rename(temp_, target_, ec);
        if (!ok || !closed || ec) {
            fs::remove(temp_, ec);
            return false;
        }
        temp_.clear();
        return true;
    }
    ~TableOutput() {
        if (file_ && file_ != stdout) std::fclose(file_);
        std::error_code ec;
        if (!temp_.empty()) fs::remove(temp_, ec);
    }

private:
    std::FILE* file_ = nullptr;
    std::string target_;
    fs::path temp_;
};

}  // namespace

int RunJson(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, 1, "FILE")) return kExitUsage;
    const std::string& file = inv.positionals[0];
    if (std::optional<Outcome> unreadable = UnreadableInput(file)) return Report(inv, *unreadable, Role::kDocument, "", "null");
    Outcome o = CallForWholeText([&](char* out, int n) { return KVN_XmlToJson(out, n, file.c_str(), 0); });
    std::string result = o.result;
    while (!result.empty() && result.back() == '\n') result.pop_back();
    return Report(inv, o, Role::kDocument, o.result, o.ok() ? result : "null");
}

int RunTable(const Invocation& inv) {
    if (!ExpectArguments(inv, 1, static_cast<size_t>(-1), "FILE|DIR|ZIP")) return kExitUsage;
    int jobs = 1;
    std::string error;
    if (!WorkerCount(inv, &jobs, &error)) return UsageError(inv.command, error);
    const int options = inv.has("lines") ? KVN_OPT_LINES : 0;

    std::vector<std::unique_ptr<ZipArchive>> archives;
    std::vector<Source> sources;
    if (!Gather(inv.positionals, &archives, &sources, &error)) {
        std::fprintf(stderr, "kelvane table: %s\n", error.c_str());
        return kExitInput;
    }
    TableOutput output;
    if (!output.Open(inv.value("output").value_or(""), &error)) {
        std::fprintf(stderr, "kelvane table: %s\n", error.c_str());
        return kExitOutput;
    }
    const std::string header = Header(options);
    bool written = output.Write(CsvHeader(header));

    // Workers take sources in order; the writer prints each source's rows as soon as it
    // and every source before it are done, so the table keeps the order of its inputs.
    std::vector<RowsText> results(sources.size());
    std::vector<char> done(sources.size(), 0);
    std::mutex mutex;
    std::condition_variable ready;
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < sources.size();) {
            RowsText r = RowsOf(sources[i], options, header);
            std::lock_guard<std::mutex> lock(mutex);
            results[i] = std::move(r);
            done[i] = 1;
            ready.notify_one();
        }
    };
    const size_t workers = std::min<size_t>(static_cast<size_t>(jobs), std::max<size_t>(sources.size(), 1));
    std::vector<std::thread> threads;
    for (size_t t = 0; t < workers; ++t) threads.emplace_back(work);

    const bool progress = !inv.quiet && isatty(fileno(stderr));
    auto last = std::chrono::steady_clock::now();
    size_t failed = 0, unreadable = 0;
    for (size_t i = 0; i < sources.size(); ++i) {
        RowsText r;
        {
            std::unique_lock<std::mutex> lock(mutex);
            ready.wait(lock, [&] { return done[i] != 0; });
            r = std::move(results[i]);
        }
        failed += r.failed;
        unreadable += r.unreadable;
        if (written) written = output.Write(CsvRows(sources[i].name, r.text));
        const auto now = std::chrono::steady_clock::now();
        if (progress && (now - last > std::chrono::milliseconds(200) || i + 1 == sources.size())) {
            std::fprintf(stderr, "\rtable: %zu/%zu documents", i + 1, sources.size());
            std::fflush(stderr);
            last = now;
        }
    }
    for (std::thread& t : threads) t.join();
    if (progress) std::fputs("\r\033[K", stderr);
    if (!written || !output.Commit()) {
        std::fprintf(stderr, "kelvane table: cannot write the table\n");
        return kExitOutput;
    }
    if (!inv.quiet || failed) {
        std::fprintf(stderr, "table: %zu documents, %zu failed\n", sources.size(), failed);
    }
    if (failed == 0) return kExitOk;
    // The highest status of the failed documents: 6 for a damaged one, else 3 (unreadable).
    return failed > unreadable ? kExitData : kExitInput;
}

}  // namespace cli
