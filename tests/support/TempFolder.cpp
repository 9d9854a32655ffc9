#include "TempFolder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

TTempFolder::TTempFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zephran-test-XXXXXX").string();
    if (char* made = ::mkdtemp(pattern.data()))
        path_ = std::string(made) + "/";
}

TTempFolder::~TTempFolder() {
    std::error_code ec;
    if (!path_.empty())
        std::filesystem::remove_all(path_, ec);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool FileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(std::filesystem::symlink_status(path, ec));
}
