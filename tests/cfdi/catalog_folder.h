// A catalog folder made by a test: a fresh temporary directory that files are written
// into, removed with everything in it when the object goes.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

namespace kvn::testing {

class CatalogFolder {
public:
    CatalogFolder() {
        std::string pattern = ::testing::TempDir() + "kvn_catalogs_XXXXXX";
        if (::mkdtemp(pattern.data())) path_ = pattern;
        EXPECT_FALSE(path_.empty());
    }
    ~CatalogFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    CatalogFolder(const CatalogFolder&) = delete;
    CatalogFolder& operator=(const CatalogFolder&) = delete;

    const char* path() const { return path_.c_str(); }

    // Writes `text` to `name` ("c_Moneda.csv", "cfdi33/c_Moneda.csv"), making its folder.
    std::string Write(const std::string& name, const std::string& text) const {
        const std::filesystem::path file = std::filesystem::path(path_) / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << text;
        return file.string();
    }

private:
    std::string path_;
};

}  // namespace kvn::testing
