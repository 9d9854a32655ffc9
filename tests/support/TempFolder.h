#pragma once

#include <string>

// A fresh folder under the system's temporary folder, removed with everything in it.
class TTempFolder {
public:
    TTempFolder();
    ~TTempFolder();
    TTempFolder(const TTempFolder&) = delete;
    TTempFolder& operator=(const TTempFolder&) = delete;
    // The path with a trailing separator.
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

std::string ReadWholeFile(const std::string& path);
bool FileExists(const std::string& path);
