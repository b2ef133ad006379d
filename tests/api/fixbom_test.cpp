// KVN_FixBOM through the public header.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "kelvane.h"

namespace fs = std::filesystem;

namespace {

class FixBomTest : public testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() / ("kvn-fixbom-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const char* name) const { return (dir_ / name).string(); }
    void Write(const char* name, const std::string& bytes) const {
        std::ofstream(Path(name), std::ios::binary) << bytes;
    }
    std::string Read(const char* name) const {
        std::ifstream in(Path(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    static std::string LastError() {
        char buf[4100];
        KVN_LastError(buf, 4099);
        return buf;
    }
    // Only the files a test made itself: nothing temporary left behind.
    std::size_t FileCount() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
    }

    fs::path dir_;
};

const std::string kBom = "\xEF\xBB\xBF";

TEST_F(FixBomTest, AddsTheMarkOnlyWhenMissing) {
    const struct {
        std::string input, output;
    } cases[] = {
        {"<a>\xC3\xB1</a>", kBom + "<a>\xC3\xB1</a>"},
        {kBom + "<a/>", kBom + "<a/>"},
        {"", kBom},
    };
    for (const auto& c : cases) {
        Write("in.xml", c.input);
        ASSERT_EQ(KVN_FixBOM(Path("out.xml").c_str(), Path("in.xml").c_str()), 0) << LastError();
        EXPECT_EQ(Read("out.xml"), c.output);
    }
    EXPECT_EQ(FileCount(), 2u);
}

TEST_F(FixBomTest, FixesInPlaceAndKeepsPermissions) {
    Write("doc.xml", "<a/>");
    ::chmod(Path("doc.xml").c_str(), 0640);
    ASSERT_EQ(KVN_FixBOM(Path("doc.xml").c_str(), Path("doc.xml").c_str()), 0);
    EXPECT_EQ(Read("doc.xml"), kBom + "<a/>");
    struct stat st;
    ASSERT_EQ(::stat(Path("doc.xml").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(FixBomTest, RefusesInputThatIsNotUtf8AndWritesNothing) {
    for (const char* bad : {"a\xC0", "\xFE", "\xFF", "a\x80", "ab\xC3"}) {
        Write("in.xml", bad);
        Write("out.xml", "previous");
        EXPECT_EQ(KVN_FixBOM(Path("out.xml").c_str(), Path("in.xml").c_str()), -BAD_FORMAT_ERROR);
        EXPECT_EQ(LastError(), "File '" + Path("in.xml") + "' is not valid UTF-8/El archivo no es valido UTF-8");
        EXPECT_EQ(Read("out.xml"), "previous");
    }
    EXPECT_EQ(FileCount(), 2u);
}

TEST_F(FixBomTest, BadArgumentsAndMissingFiles) {
    Write("in.xml", "<a/>");
    std::string in = Path("in.xml");
    EXPECT_EQ(KVN_FixBOM(nullptr, in.c_str()), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_FixBOM("", in.c_str()), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_FixBOM(Path("o").c_str(), nullptr), -BAD_PARAM_ERROR);
    EXPECT_EQ(KVN_FixBOM(Path("o").c_str(), ""), -BAD_PARAM_ERROR);

    for (std::string missing : {Path("missing.xml"), dir_.string()}) {
        EXPECT_EQ(KVN_FixBOM(Path("o").c_str(), missing.c_str()), -OPEN_ERROR);
        EXPECT_EQ(LastError(), "Cannot open file '" + missing + "'/No se puede abrir el archivo");
    }
    std::string nowhere = Path("no-such-dir/out.xml");
    EXPECT_EQ(KVN_FixBOM(nowhere.c_str(), in.c_str()), -WRITE_ERROR);
    EXPECT_EQ(LastError(), "Unable to write to file '" + nowhere + "'/No es posible escribir en el archivo");
    EXPECT_EQ(FileCount(), 1u);
}

TEST_F(FixBomTest, UnreadableInput) {
    if (::geteuid() == 0) GTEST_SKIP() << "root reads every file";
    Write("in.xml", "<a/>");
    ::chmod(Path("in.xml").c_str(), 0);
    EXPECT_EQ(KVN_FixBOM(Path("o").c_str(), Path("in.xml").c_str()), -OPEN_ERROR);
}

TEST_F(FixBomTest, OutputOverADirectoryFailsAndLeavesItAlone) {
    Write("in.xml", "<a/>");
    fs::create_directory(dir_ / "target");
    EXPECT_EQ(KVN_FixBOM(Path("target").c_str(), Path("in.xml").c_str()), -WRITE_ERROR);
    EXPECT_TRUE(fs::is_directory(dir_ / "target"));
    EXPECT_EQ(FileCount(), 2u);
}

TEST_F(FixBomTest, InputOfOneGibibyteIsAMemoryErrorNotACrash) {
    std::string big = Path("big.xml");
    {
        std::ofstream f(big, std::ios::binary);
    }
    fs::resize_file(big, (std::uintmax_t{1} << 30) + 10);  // sparse: costs no disk
    EXPECT_EQ(KVN_FixBOM(Path("out.xml").c_str(), big.c_str()), -MEMORY_ERROR);
    EXPECT_EQ(LastError(), "malloc request is too big.");
    EXPECT_FALSE(fs::exists(dir_ / "out.xml"));
}

}  // namespace
