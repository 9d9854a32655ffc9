#pragma once

// What every hostile-peer case checks afterwards: the descriptors the process holds and the
// spill files in the TEMP folder.

#include <dirent.h>
#include <string>

inline int OpenDescriptorCount() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr)
            ++count;
        ::closedir(dir);
    }
    return count;
}

// The names in a folder other than "." and ".."; -1 when it cannot be read.
inline int FolderEntryCount(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* e = ::readdir(dir))
        if (std::string(e->d_name) != "." && std::string(e->d_name) != "..")
            ++count;
    ::closedir(dir);
    return count;
}
