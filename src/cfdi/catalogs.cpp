// The snapshot and a user's catalog folder over it; the one kept folder.
//
// Why a kept folder, and why it is sound. A batch validation opens the same folder for
// every document, and reading c_Colonia alone (145,000 rows) costs far more than
// validating an invoice. So the last folder loaded stays in one process-wide slot with the
// identity of every file it was read from (device, inode, size, modification and change
// times, to the nanosecond, and the folder's listing). A later call lists the folder
// again, stats each file, and takes the kept set when all of that is equal; otherwise it
// loads the folder anew and the slot takes the new set.
//  - A hit gives exactly what a fresh load would: the set is a function of the files'
//    contents, and any write to a file changes its change time, a rename or a new file
//    its inode or the listing. (cp -p or touch can put back a modification time, never a
//    change time.)
//  - A write in the same clock tick as our read could leave both times as they were.
//    So a set is kept only when every file was last changed at least two seconds before
//    the load began; a folder written just now is read afresh on each call until it
//    settles.
//  - Threads: the slot (the folder's name, the identities, a shared_ptr to the set) is
//    read and written only under its mutex. The set itself is immutable once built, so
//    every caller may read it without a lock; the shared_ptr keeps it alive for as long
//    as any caller holds it, whatever the slot does meanwhile. The mutex is also held
//    while a folder loads, so threads that open the same new folder at once wait for one
//    load and share it instead of each reading the files.
//  - Size: one folder. Alternating between two folders reloads each time, which is
//    correct, only slower. ForgetLoadedCatalogs() empties the slot.
// This slot is the library's only process-wide state besides one-time set-up and the
// per-thread last-error text; its content can change how long a call takes, never what it
// answers.
#include "cfdi/catalogs.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>

#include "base/lasterror.h"
#include "cfdi/catalog_snapshot.h"

namespace kvn {
namespace {

const CatalogTableList& SnapshotOf(CatalogSet set) noexcept {
    switch (set) {
        case CatalogSet::kCfdi40: return kCatalogSnapshot40;
        case CatalogSet::kCfdi33: return kCatalogSnapshot33;
        case CatalogSet::kRet20: return kCatalogSnapshotRet20;
        case CatalogSet::kPagos: break;
    }
    return kCatalogSnapshotPagos;
}

// The folder of each set inside a catalog folder ("" is the folder itself).
constexpr const char* kSetFolders[kCatalogSetCount] = {"", "cfdi33", "ret20", "pagos"};

const CatalogTable* FindIn(const CatalogTableList& list, std::string_view name) noexcept {
    const CatalogTable* end = list.tables + list.count;
    const CatalogTable* at =
        std::lower_bound(list.tables, end, name, [](const CatalogTable& t, std::string_view n) { return t.name < n; });
    return at != end && at->name == name ? at : nullptr;
}

const CatalogTable* FindIn(const Vec<LoadedCatalog>& list, std::string_view name) noexcept {
    auto at = std::lower_bound(list.begin(), list.end(), name,
                               [](const LoadedCatalog& c, std::string_view n) { return c.name() < n; });
    return at != list.end() && at->name() == name ? &at->table() : nullptr;
}

// The snapshot alone: what OpenCatalogs(null) gives, never freed.
constexpr Catalogs kSnapshotOnly;

// One catalog file of a folder and the identity it had when listed or read.
struct FileStamp {
    CatalogSet set = CatalogSet::kCfdi40;
    String name;  // the file's name, "c_Moneda.csv"
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
    timespec changed{};

    void Take(const struct stat& st) noexcept {
        device = st.st_dev;
        inode = st.st_ino;
        size = st.st_size;
        modified = st.st_mtim;
        changed = st.st_ctim;
    }
    bool operator==(const FileStamp& o) const noexcept {
        return set == o.set && name == o.name && device == o.device && inode == o.inode && size == o.size &&
               modified.tv_sec == o.modified.tv_sec && modified.tv_nsec == o.modified.tv_nsec &&
               changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec;
    }
};

struct KeptFolder {
    String dir;
    Vec<FileStamp> files;
    std::shared_ptr<const Catalogs> catalogs;
};

std::mutex g_keptMutex;
KeptFolder g_kept;  // guarded by g_keptMutex

String PathOf(const char* dir, const char* folder, std::string_view name) {
    String path(dir);
    if (*folder) {
        path += '/';
        path += folder;
    }
    if (!name.empty()) {
        path += '/';
        path += name;
    }
    return path;
}

struct DirCloser {
    void operator()(DIR* d) const noexcept { ::closedir(d); }
};

struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

Error CannotRead(const String& path) {
    RecordError("Cannot read catalog file '%s'/No se puede leer el archivo de catalogo", path.c_str());
    return Error::READ_ERROR;
}

// Adds the *.csv files of one set's folder to `files`, stamped by stat. A missing set
// folder has none; a folder that exists but cannot be listed is an error.
Error ListSet(const char* dir, CatalogSet set, Vec<FileStamp>& files) {
    const char* folder = kSetFolders[static_cast<int>(set)];
    const String path = PathOf(dir, folder, "");
    if (*folder) {
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return kOk;
    }
    std::unique_ptr<DIR, DirCloser> d(::opendir(path.c_str()));
    if (!d) {
        RecordError("Cannot open catalog folder '%s'/No se puede abrir la carpeta de catalogos", path.c_str());
        return Error::OPEN_ERROR;
    }
    for (;;) {
        errno = 0;  // readdir's end and its failure differ only by errno
        const dirent* entry = ::readdir(d.get());
        if (!entry) break;
        const std::string_view name = entry->d_name;
        if (name.size() <= 4 || !name.ends_with(".csv")) continue;
        FileStamp file;
        file.set = set;
        file.name = String(name);
        const String filePath = PathOf(dir, folder, name);
        struct stat st;
        // Anything but a regular file (a folder, a FIFO that would block) is not read.
        if (::stat(filePath.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return CannotRead(filePath);
        file.Take(st);
        files.push_back(std::move(file));
    }
    if (errno != 0) {
        RecordError("Cannot open catalog folder '%s'/No se puede abrir la carpeta de catalogos", path.c_str());
        return Error::OPEN_ERROR;
    }
    return kOk;
}

// Every catalog file of a user's folder, in (set, name) order.
Error ListFolder(const char* dir, Vec<FileStamp>& files) {
    for (int set = 0; set < kCatalogSetCount; ++set)
        if (Error e = ListSet(dir, static_cast<CatalogSet>(set), files); Failed(e)) return e;
    std::sort(files.begin(), files.end(), [](const FileStamp& a, const FileStamp& b) {
        return a.set != b.set ? a.set < b.set : a.name < b.name;
    });
    return kOk;
}

// Reads one catalog file whole; `file` takes the identity of what was read. The file is
// opened without blocking and refused unless it is a regular file.
Error ReadCatalogFile(const String& path, FileStamp& file, Bytes& data) {
    Fd f{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
    struct stat st;
    if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode)) return CannotRead(path);
    file.Take(st);
    data.resize(static_cast<std::size_t>(st.st_size));
    std::size_t have = 0;
    for (;;) {
        if (have == data.size()) data.resize(have + 65536);  // the file grew meanwhile
        const ssize_t n = ::read(f.fd, data.data() + have, data.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return CannotRead(path);
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    data.resize(have);
    return kOk;
}

bool SettledBefore(const timespec& t, const timespec& limit) noexcept {
    return t.tv_sec < limit.tv_sec || (t.tv_sec == limit.tv_sec && t.tv_nsec < limit.tv_nsec);
}

// Reads every listed file into a new set; `files` takes the identities read.
Error LoadFolder(const char* dir, Vec<FileStamp>& files, std::shared_ptr<const Catalogs>& out) {
    std::shared_ptr<Catalogs> catalogs = std::allocate_shared<Catalogs>(Allocator<Catalogs>());
    Bytes data;
    for (FileStamp& file : files) {
        const String path = PathOf(dir, kSetFolders[static_cast<int>(file.set)], file.name);
        if (Error e = ReadCatalogFile(path, file, data); Failed(e)) return e;
        const std::string_view name = std::string_view(file.name).substr(0, file.name.size() - 4);
        LoadedCatalog catalog;
        if (Error e = ParseCatalogCsv(path.c_str(), name, data.data(), data.size(), &catalog); Failed(e)) return e;
        catalogs->Add(file.set, std::move(catalog));
    }
    out = std::move(catalogs);
    return kOk;
}

}  // namespace

const CatalogTable* Catalogs::Find(CatalogSet set, std::string_view name) const noexcept {
    for (CatalogSet s : {set, CatalogSet::kCfdi40}) {
        if (const CatalogTable* t = FindIn(user_[static_cast<int>(s)], name)) return t;
        if (const CatalogTable* t = FindIn(SnapshotOf(s), name)) return t;
        if (set != CatalogSet::kRet20) break;
    }
    return nullptr;
}

void Catalogs::Add(CatalogSet set, LoadedCatalog catalog) {
    Vec<LoadedCatalog>& list = user_[static_cast<int>(set)];
    auto at = std::lower_bound(list.begin(), list.end(), catalog.name(),
                               [](const LoadedCatalog& c, std::string_view n) { return c.name() < n; });
    if (at != list.end() && at->name() == catalog.name()) *at = std::move(catalog);
    else list.insert(at, std::move(catalog));
}

Error OpenCatalogs(const char* userDir, std::shared_ptr<const Catalogs>* out) {
    if (!out) return Error::BAD_PARAM_ERROR;
    if (!userDir || !*userDir) {
        // Shares the static set without owning it: no control block, no allocation.
        *out = std::shared_ptr<const Catalogs>(std::shared_ptr<const Catalogs>(), &kSnapshotOnly);
        return kOk;
    }
    Vec<FileStamp> files;
    if (Error e = ListFolder(userDir, files); Failed(e)) return e;

    std::lock_guard<std::mutex> lock(g_keptMutex);
    if (g_kept.catalogs && g_kept.dir == userDir && g_kept.files == files) {
        *out = g_kept.catalogs;
        return kOk;
    }
    timespec started{};
    ::clock_gettime(CLOCK_REALTIME, &started);
    std::shared_ptr<const Catalogs> loaded;
    if (Error e = LoadFolder(userDir, files, loaded); Failed(e)) return e;

    KeptFolder fresh;
    timespec limit = started;
    limit.tv_sec -= 2;
    const bool settled = std::all_of(files.begin(), files.end(), [&](const FileStamp& f) {
        return SettledBefore(f.modified, limit) && SettledBefore(f.changed, limit);
    });
    if (settled) fresh = KeptFolder{String(userDir), std::move(files), loaded};
    std::swap(g_kept, fresh);
    *out = std::move(loaded);
    return kOk;
}

CatalogAnswer CatalogCheck(const Catalogs& catalogs, CatalogSet set, std::string_view catalog, std::string_view value,
                           std::int32_t date) noexcept {
    const CatalogTable* table = catalogs.Find(set, catalog);
    if (!table) return CatalogAnswer::kAbsent;
    return table->FindValid(value, date) ? CatalogAnswer::kValid : CatalogAnswer::kInvalid;
}

void ForgetLoadedCatalogs() noexcept {
    KeptFolder none;
    {
        std::lock_guard<std::mutex> lock(g_keptMutex);
        std::swap(g_kept, none);
    }
}

}  // namespace kvn
