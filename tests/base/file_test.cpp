#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
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

}  // namespace
