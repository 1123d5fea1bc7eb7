// A fresh directory for one test, removed with its contents afterwards, and
// raw byte helpers that bypass the layer under test.
#pragma once

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>

class ScratchDir {
  public:
    // `base`: where to make it, when not the temporary directory.
    explicit ScratchDir(std::filesystem::path base = std::filesystem::temp_directory_path()) {
        std::random_device random;
        do
            m_path = base / ("pi-platform-" + std::to_string(random()));
        while (!std::filesystem::create_directory(m_path));
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    // `name` in the system code page; the directory itself is plain ASCII.
    std::string operator/(const std::string& name) const { return m_path.string() + "/" + name; }
    const std::filesystem::path& Path() const { return m_path; }

  private:
    std::filesystem::path m_path;
};

inline void WriteRaw(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

inline std::string ReadRaw(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}
