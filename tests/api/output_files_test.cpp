// Every export that writes a file for its caller (KVN_SignXml, KVN_FixBOM, KVN_WritePfxFile)
// treats the output name the same way: a regular file, or a link to one, is replaced whole
// (keeping its mode; a PFX is owner-only); a FIFO or a character device is written in place
// and stays what it is; a directory is refused and left alone.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "api/seal_support.h"
#include "kelvane.h"

namespace {

using namespace seal_test;

struct Writer {
    const char* name;
    std::function<int(const std::string& output)> write;
    const char* startsWith;  // what the output begins with
};

class OutputFiles : public testing::Test {
protected:
    TempDir dir_{"output-files"};
    const std::string input_ = Example("cfdi32-invoice.xml");
    std::vector<Writer> Writers() const {
        const std::string input = input_;
        return {
            {"KVN_SignXml",
             [input](const std::string& out) {
                 return KVN_SignXml(out.c_str(), input.c_str(), Key(1024).c_str(), kPassword, Cert(1024).c_str(), 0);
             },
             "\xEF\xBB\xBF<?xml"},
            {"KVN_SignXml, flushed by the caller",
             [input](const std::string& out) {
                 return KVN_SignXml(out.c_str(), input.c_str(), Key(1024).c_str(), kPassword, Cert(1024).c_str(),
                                    KVN_OPT_NOSYNC);
             },
             "\xEF\xBB\xBF<?xml"},
            {"KVN_FixBOM", [input](const std::string& out) { return KVN_FixBOM(out.c_str(), input.c_str()); },
             "\xEF\xBB\xBF<?xml"},
            {"KVN_WritePfxFile",
             [](const std::string& out) {
                 return KVN_WritePfxFile(out.c_str(), "pfx", Key(1024).c_str(), kPassword, Cert(1024).c_str(), 0);
             },
             "MII"},
        };
    }
    static mode_t Mode(const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
    }
};

TEST_F(OutputFiles, LinksAndExistingFilesKeepWhatTheyAre) {
    for (const Writer& w : Writers()) {
        SCOPED_TRACE(w.name);
        const bool pfx = std::string(w.name) == "KVN_WritePfxFile";
        const std::string target = dir_ / "target", link = dir_ / "link";
        WriteFile(target, "old");
        ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
        fs::remove(link);
        fs::create_symlink("target", link);
        ASSERT_EQ(w.write(link), 0) << LastError();
        EXPECT_TRUE(S_ISLNK(Mode(link)));
        EXPECT_EQ(ReadFile(target).rfind(w.startsWith, 0), 0u);
        EXPECT_EQ(Mode(target) & 07777, pfx ? 0600u : 0640u);  // a PFX loses group access
        fs::remove(target);
        fs::remove(link);
    }
    // A new PFX is the owner's alone, whatever the umask lets through.
    const mode_t mask = ::umask(0);
    const std::string fresh = dir_ / "fresh.pfx";
    const int rc = Writers().back().write(fresh);  // KVN_WritePfxFile
    ::umask(mask);
    ASSERT_EQ(rc, 0) << LastError();
    EXPECT_EQ(Mode(fresh) & 07777, 0600u);
}

TEST_F(OutputFiles, FifosAndDevicesAreWrittenInPlace) {
    const std::string fifo = dir_ / "fifo", null = dir_ / "null";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const bool devices = ::mknod(null.c_str(), S_IFCHR | 0600, ::makedev(1, 3)) == 0;
    for (const Writer& w : Writers()) {
        SCOPED_TRACE(w.name);
        std::string received;
        std::thread reader([&] { received = ReadFile(fifo); });
        const int rc = w.write(fifo);
        // A writer that failed before opening the FIFO would leave the reader waiting.
        if (const int unblock = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK); unblock >= 0) ::close(unblock);
        reader.join();
        EXPECT_EQ(rc, 0) << LastError();
        EXPECT_EQ(received.rfind(w.startsWith, 0), 0u);
        EXPECT_TRUE(S_ISFIFO(Mode(fifo)));
        if (devices) {
            EXPECT_EQ(w.write(null), 0) << LastError();
            EXPECT_TRUE(S_ISCHR(Mode(null)));
        }
    }
    if (!devices) GTEST_SKIP() << "cannot make device nodes here: " << std::strerror(errno);
}

TEST_F(OutputFiles, DirectoriesAreRefused) {
    const std::string folder = dir_ / "folder";
    fs::create_directories(folder);
    const std::string message = "Output '" + folder + "' is a directory/La salida es un directorio";
    for (const Writer& w : Writers()) {
        SCOPED_TRACE(w.name);
        const int rc = w.write(folder);
        EXPECT_TRUE(rc == -WRITE_ERROR || rc == -CREATE_ERROR) << rc;
        EXPECT_EQ(LastError().rfind(message, 0), 0u) << LastError();
        EXPECT_TRUE(fs::is_directory(folder));
        EXPECT_TRUE(fs::is_empty(folder));
    }
}

}  // namespace
