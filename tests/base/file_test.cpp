#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/file.h"
#include "base/lasterror.h"
#include "base/os_random.h"

namespace fs = std::filesystem;

namespace {

// Points TMP and TEMP somewhere for one test and restores them after.
class TempDirs : public testing::Test {
protected:
    void SetUp() override {
        for (const char* var : {"TMP", "TEMP"}) {
            const char* v = std::getenv(var);
            saved_.emplace_back(var, v ? std::optional<std::string>(v) : std::nullopt);
        }
        root_ = fs::temp_directory_path() / ("kvn-temp-" + std::to_string(::getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_ / "tmp");
        fs::create_directories(root_ / "temp");
    }
    void TearDown() override {
        for (auto& [var, v] : saved_) {
            if (v) ::setenv(var, v->c_str(), 1);
            else ::unsetenv(var);
        }
        fs::remove_all(root_);
    }
    static std::size_t Count(const fs::path& dir) {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
    }
    std::vector<std::pair<const char*, std::optional<std::string>>> saved_;
    fs::path root_;
};

TEST_F(TempDirs, KeptNameIsPrefixPlusTenCharactersOwnerOnly) {
    ::setenv("TMP", (root_ / "tmp").c_str(), 1);
    auto t = kvn::TempFile::Create("KVA-", true);
    ASSERT_TRUE(t);
    std::string name = t->name();
    std::string expected_dir = (root_ / "tmp").string() + "/KVA-";
    ASSERT_EQ(name.substr(0, expected_dir.size()), expected_dir);
    std::string tail = name.substr(expected_dir.size());
    ASSERT_EQ(tail.size(), 10u);
    for (char c : tail) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c))) << name;
    struct stat st;
    ASSERT_EQ(::stat(name.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    t.reset();
    EXPECT_FALSE(fs::exists(name));  // removed with its owner
}

TEST_F(TempDirs, UnnamedFileVanishesAtOnce) {
    ::setenv("TMP", (root_ / "tmp").c_str(), 1);
    auto t = kvn::TempFile::Create(nullptr, false);
    ASSERT_TRUE(t);
    EXPECT_STREQ(t->name(), "");
    EXPECT_EQ(Count(root_ / "tmp"), 0u);
    EXPECT_EQ(std::fputs("data", t->stream()), 1);
}

TEST_F(TempDirs, FallsBackFromTmpToTempToCurrentDirectory) {
    ::setenv("TMP", (root_ / "missing").c_str(), 1);
    ::setenv("TEMP", (root_ / "temp").c_str(), 1);
    {
        auto t = kvn::TempFile::Create("KVX", true);
        ASSERT_TRUE(t);
        EXPECT_EQ(fs::path(t->name()).parent_path(), root_ / "temp");
    }
    ::setenv("TEMP", (root_ / "also-missing").c_str(), 1);
    fs::path cwd = fs::current_path();
    fs::current_path(root_);
    {
        auto t = kvn::TempFile::Create("KVX", true);
        ASSERT_TRUE(t);
        EXPECT_EQ(fs::path(t->name()).parent_path(), fs::path("."));
    }
    fs::current_path(cwd);
}

TEST_F(TempDirs, NamesDifferFromCallToCall) {
    ::setenv("TMP", (root_ / "tmp").c_str(), 1);
    auto a = kvn::TempFile::Create("KVA", true);
    auto b = kvn::TempFile::Create("KVA", true);
    ASSERT_TRUE(a && b);
    EXPECT_NE(std::string(a->name()), std::string(b->name()));
}

// A long TMP is used whole: cut at 260 characters it would name another directory, which
// must not be used; the whole path does not exist, so TEMP serves.
TEST_F(TempDirs, LongTmpIsNeverCut) {
    std::string prefix = (root_ / "").string();
    fs::path cut = root_ / std::string(260 - prefix.size(), 'd');
    ASSERT_EQ(cut.string().size(), 260u);
    fs::create_directories(cut);
    ::setenv("TMP", (cut.string() + "/missing").c_str(), 1);
    ::setenv("TEMP", (root_ / "temp").c_str(), 1);
    {
        auto t = kvn::TempFile::Create("KVX", true);
        ASSERT_TRUE(t);
        EXPECT_EQ(fs::path(t->name()).parent_path(), root_ / "temp");
    }
    EXPECT_EQ(Count(cut), 0u);
    // And a long path that is a directory serves as it is.
    fs::path deep = cut / std::string(200, 'e');
    fs::create_directories(deep);
    ::setenv("TMP", deep.c_str(), 1);
    auto t = kvn::TempFile::Create("KVX", true);
    ASSERT_TRUE(t);
    EXPECT_EQ(fs::path(t->name()).parent_path(), deep);
}

// When no directory can hold the file, each one's failure is in the last-error text.
TEST_F(TempDirs, NoUsableDirectoryIsAClearError) {
    ::setenv("TMP", (root_ / "missing").c_str(), 1);
    ::unsetenv("TEMP");
    fs::path cwd = fs::current_path();
    fs::path gone = root_ / "gone";
    fs::create_directories(gone);
    fs::current_path(gone);
    fs::remove(gone);  // "." is still a directory, but nothing can be made in it
    kvn::ClearLastError();
    EXPECT_FALSE(kvn::TempFile::Create("KVX", true));
    fs::current_path(cwd);
    EXPECT_EQ(std::string(kvn::LastErrorText()),
              "'" + (root_ / "missing").string() + "' is not a directory for temporary files/No es un directorio para archivos temporales; "
              "Cannot create a temporary file in '.'/No se puede crear un archivo temporal en el directorio");
}

// Names come from the operating system's generator; without it no file is made.
TEST_F(TempDirs, NoRandomBytesNoFile) {
    ::setenv("TMP", (root_ / "tmp").c_str(), 1);
    kvn::SetOsRandomSourcesForTesting(kvn::OsRandomSources::kNone);
    kvn::ClearLastError();
    EXPECT_FALSE(kvn::TempFile::Create("KVX", true));
    kvn::SetOsRandomSourcesForTesting(kvn::OsRandomSources::kAll);
    EXPECT_STREQ(kvn::LastErrorText(),
                 "Cannot get random bytes from the operating system/No se pueden obtener bytes aleatorios del sistema operativo");
    EXPECT_EQ(Count(root_ / "tmp"), 0u);
}

TEST(ReplacingOutput, LeavesTargetUntouchedUntilCommit) {
    fs::path dir = fs::temp_directory_path() / ("kvn-replace-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string target = (dir / "out.txt").string();
    {
        kvn::ReplacingOutput out;
        ASSERT_TRUE(out.Open(target.c_str()));
        ASSERT_TRUE(out.Write("abc", 3));
        EXPECT_FALSE(fs::exists(target));
    }  // abandoned: nothing left
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0);
    kvn::ReplacingOutput out;
    ASSERT_TRUE(out.Open(target.c_str()));
    ASSERT_TRUE(out.Write("abc", 3));
    mode_t mask = ::umask(022);  // before any thread starts
    ASSERT_TRUE(out.Commit());
    EXPECT_EQ(fs::file_size(target), 3u);
    struct stat st;
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);  // a new file: 0666 less the mask
    ::umask(mask);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);  // no probe left
    kvn::ReplacingOutput nowhere;
    EXPECT_FALSE(nowhere.Open((dir / "none" / "x").c_str()));
    fs::remove_all(dir);
}

// What an output does with each kind of name: a regular file or a link to one is replaced
// whole, keeping its mode and owner (the link stays a link); devices and FIFOs are written
// in place; a directory or a socket is refused with its reason, and left alone.
class OutputKinds : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kvn-output-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }
    std::string Path(const char* name) const { return (dir_ / name).string(); }
    static std::string Read(const std::string& path) {
        std::string text;
        if (std::FILE* f = std::fopen(path.c_str(), "rb")) {
            char buf[256];
            std::size_t n;
            while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
            std::fclose(f);
        }
        return text;
    }
    static void Write(const std::string& path, const std::string& text) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_TRUE(f);
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    // Opens target and writes text; the result of Commit (false when Open failed).
    static bool Output(const std::string& target, const std::string& text,
                       kvn::OutputAccess access = kvn::OutputAccess::kShared) {
        kvn::ReplacingOutput out;
        return out.Open(target.c_str(), access) && out.Write(text.data(), text.size()) && out.Commit();
    }
    fs::path dir_;
};

TEST_F(OutputKinds, RegularFilesAndLinksToThemAreReplacedWhole) {
    const std::string file = Path("file.xml");
    Write(file, "old");
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(file.c_str(), 1234, 5678), 0);
    }
    ASSERT_TRUE(Output(file, "new"));
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(Read(file), "new");
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 1234u);
        EXPECT_EQ(st.st_gid, 5678u);
    }

    // A chain of links, relative and absolute, to a file in another folder; and a link to a
    // file that does not exist yet.
    fs::create_directories(dir_ / "real");
    const std::string target = Path("real/target.xml");
    Write(target, "old");
    fs::create_symlink("real/target.xml", dir_ / "link1");
    fs::create_symlink(dir_ / "link1", dir_ / "link2");
    fs::create_symlink("real/new.xml", dir_ / "dangling");
    ASSERT_TRUE(Output(Path("link2"), "via links"));
    ASSERT_TRUE(Output(Path("dangling"), "made"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "link1"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "link2"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "dangling"));
    EXPECT_EQ(Read(target), "via links");
    EXPECT_EQ(Read(Path("real/new.xml")), "made");
    // Nothing was left beside the files.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "real"), fs::directory_iterator()), 2);

    // A loop of links is no file.
    fs::create_symlink("loop-b", dir_ / "loop-a");
    fs::create_symlink("loop-a", dir_ / "loop-b");
    EXPECT_FALSE(Output(Path("loop-a"), "x"));
}

// A file that comes to the target between Open() and Commit() is replaced as one that was
// there from the start: the output takes its place whole and keeps its mode, and nothing is
// left beside it.
TEST_F(OutputKinds, TargetMadeWhileWritingIsReplaced) {
    const std::string file = Path("late.xml");
    kvn::ReplacingOutput out;
    ASSERT_TRUE(out.Open(file.c_str()));
    ASSERT_TRUE(out.Write("new", 3));
    Write(file, "made meanwhile");
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    ASSERT_TRUE(out.Commit());
    EXPECT_EQ(Read(file), "new");
    struct stat st;
    ASSERT_EQ(::stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()), 1);
}

TEST_F(OutputKinds, PrivateOutputIsOwnerOnly) {
    mode_t mask = ::umask(022);  // before any thread starts
    const std::string fresh = Path("new.pfx"), existing = Path("old.pfx");
    Write(existing, "old");
    ASSERT_EQ(::chmod(existing.c_str(), 0664), 0);
    EXPECT_TRUE(Output(fresh, "key", kvn::OutputAccess::kOwnerOnly));
    EXPECT_TRUE(Output(existing, "key", kvn::OutputAccess::kOwnerOnly));
    EXPECT_TRUE(Output(Path("shared.txt"), "text"));
    ::umask(mask);
    for (const auto& [path, mode] : {std::pair{fresh, 0600u}, {existing, 0600u}, {Path("shared.txt"), 0644u}}) {
        struct stat st;
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, mode) << path;
    }
}

TEST_F(OutputKinds, DevicesAndFifosAreWrittenInPlace) {
    const std::string fifo = Path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = Read(fifo); });
    const bool written = Output(fifo, std::string(100000, 'x'));  // more than a pipe holds
    // An output that failed before opening the FIFO would leave the reader waiting.
    if (const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK); unblock >= 0) ::close(unblock);
    reader.join();
    EXPECT_TRUE(written);
    EXPECT_EQ(received, std::string(100000, 'x'));
    struct stat st;
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));

    // Character devices made here: one that takes everything (as /dev/null), one that is
    // always full (as /dev/full). The full one fails the output and stays a device.
    const std::string null = Path("null"), full = Path("full");
    if (::mknod(null.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) != 0 ||
        ::mknod(full.c_str(), S_IFCHR | 0600, ::makedev(1, 7)) != 0) {
        GTEST_SKIP() << "cannot make device nodes here: " << std::strerror(errno);
    }
    EXPECT_TRUE(Output(null, "anything"));
    EXPECT_FALSE(Output(full, "anything"));
    for (const std::string& device : {null, full}) {
        ASSERT_EQ(::lstat(device.c_str(), &st), 0);
        EXPECT_TRUE(S_ISCHR(st.st_mode)) << device;
    }
    fs::create_symlink("null", dir_ / "to-null");  // a link to a device: the device
    EXPECT_TRUE(Output(Path("to-null"), "anything"));
    EXPECT_TRUE(fs::is_symlink(dir_ / "to-null"));
}

TEST_F(OutputKinds, DirectoriesAndSocketsAreRefused) {
    fs::create_directories(dir_ / "folder");
    const std::string socketPath = Path("socket");
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::strcpy(address.sun_path, socketPath.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const struct {
        std::string target;
        std::string message;
    } cases[] = {
        {Path("folder"), "Output '" + Path("folder") + "' is a directory/La salida es un directorio"},
        {socketPath, "Output '" + socketPath +
                         "' is not a file, a character device or a pipe/"
                         "La salida no es un archivo, un dispositivo de caracteres ni una tuberia"},
    };
    for (const auto& c : cases) {
        kvn::ClearLastError();
        EXPECT_FALSE(Output(c.target, "x"));
        EXPECT_EQ(kvn::LastErrorText(), c.message);
    }
    ::close(fd);
    EXPECT_TRUE(fs::is_directory(dir_ / "folder"));
    EXPECT_TRUE(fs::is_empty(dir_ / "folder"));
    EXPECT_TRUE(fs::is_socket(socketPath));
}

}  // namespace
