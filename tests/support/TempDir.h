// A fresh folder for one test, removed with everything in it afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

namespace zctest {

class TTempDir {
public:
    TTempDir() {
        const char* root = std::getenv("ZC_TEST_TMP");
        std::filesystem::path base = root && *root ? root : std::filesystem::temp_directory_path();
        std::filesystem::create_directories(base);
        std::string pattern = (base / "zc-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed in " + base.string());
        FPath = pattern;
    }
    ~TTempDir() {
        std::error_code ec;
        std::filesystem::remove_all(FPath, ec);
    }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return FPath; }
    std::string File(const std::string& name) const { return (FPath / name).string(); }
    // Writes `content` to a file in the folder and returns its path.
    std::string Write(const std::string& name, const std::string& content) const {
        std::ofstream out(File(name), std::ios::binary);
        out << content;
        return File(name);
    }

private:
    std::filesystem::path FPath;
};

// The whole content of a file; empty when it cannot be read.
inline std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace zctest
