#include "StatePaths.h"

#include "Runtime.h"

#include <atomic>
#include <cstdlib>

#if !defined(_WIN32)
#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

std::atomic<int> g_writableAnswer{-1};

#if defined(_WIN32)
constexpr char kSeparator = '\\';
#else
constexpr char kSeparator = '/';

// An environment variable that names an absolute folder, without trailing slashes; empty
// otherwise (a relative folder is to be ignored).
std::string AbsoluteFolderFromEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/')
        return {};
    std::string folder(value);
    while (folder.size() > 1 && folder.back() == '/')
        folder.pop_back();
    return folder;
}

std::string HomeFolder() {
    std::string home = AbsoluteFolderFromEnvironment("HOME");
    if (!home.empty())
        return home;
    if (const passwd* entry = ::getpwuid(::geteuid());
        entry != nullptr && entry->pw_dir != nullptr && entry->pw_dir[0] == '/')
        return entry->pw_dir;
    return {};
}

// Makes every missing folder on the way to `folder` (not `folder` itself) with owner-only
// access; folders that are there are left as they are.
void MakeParents(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1)) {
        const std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return;
    }
}

// Makes `folder` with owner-only access, or takes it when it is there as a real folder (not a
// link) owned by this user, setting its access to the owner's alone. False when the folder
// cannot be had or belongs to someone else.
bool MakePrivateFolder(const std::string& folder) {
    MakeParents(folder);
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return false;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
    if (ok && (info.st_mode & 0777) != 0700)
        ok = ::fchmod(fd, 0700) == 0;
    ::close(fd);
    return ok;
}

std::string StateFolder() {
    std::string base = AbsoluteFolderFromEnvironment("XDG_STATE_HOME");
    if (base.empty()) {
        const std::string home = HomeFolder();
        if (home.empty())
            return {};
        base = (home == "/" ? std::string() : home) + "/.local/state";
    }
    return base + "/zephran";
}

std::string PrivateTemporaryFolder() {
    const std::string runtime = AbsoluteFolderFromEnvironment("XDG_RUNTIME_DIR");
    if (!runtime.empty())
        return runtime + "/zephran";
    std::string temporary = AbsoluteFolderFromEnvironment("TMPDIR");
    if (temporary.empty())
        temporary = "/tmp";
    return (temporary == "/" ? std::string() : temporary) + "/zephran-" +
           std::to_string(::geteuid());
}
#endif

#if !defined(_WIN32)
std::string FolderToCheck() {
    return ProgramDirectory().empty() ? std::string("./") : ProgramDirectory();
}
#endif

} // namespace

bool ProgramFolderWritable() {
    const int answer = g_writableAnswer.load();
    if (answer >= 0)
        return answer != 0;
#if defined(_WIN32)
    return true;
#else
    const std::string folder = FolderToCheck();
#if defined(ZEPHRAN_INSTALL_BINDIR)
    // The folder installed to is never the program's own, not even for a user who may write it.
    if (folder == std::string(ZEPHRAN_INSTALL_BINDIR) + "/")
        return false;
#endif
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
#endif
}

std::string ErrorLogFolder() {
#if !defined(_WIN32)
    if (!ProgramFolderWritable()) {
        const std::string state = StateFolder();
        if (!state.empty() && MakePrivateFolder(state))
            return state + "/";
    }
#endif
    return ProgramDirectory();
}

std::string SpillFolder() {
#if !defined(_WIN32)
    if (!ProgramFolderWritable()) {
        const std::string spill = PrivateTemporaryFolder();
        if (MakePrivateFolder(spill))
            return spill + "/";
    }
#endif
    return ProgramDirectory() + "TEMP" + kSeparator;
}

void SetProgramFolderWritableForTesting(int answer) {
    g_writableAnswer.store(answer < 0 ? -1 : (answer != 0 ? 1 : 0));
}
