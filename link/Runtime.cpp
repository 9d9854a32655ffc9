#include "Runtime.h"

#include <climits>
#include <new>

#if !defined(_WIN32)
#include <unistd.h>
#endif

TReportProc ReportProc;

void Report(const std::string& message) {
    if (ReportProc)
        ReportProc(message);
}

namespace {

std::int64_t g_allocationLimit = -1;
std::string g_programDirectory;

} // namespace

bool CanAllocate(std::int64_t size) {
    return size > 0 && (g_allocationLimit < 0 || size <= g_allocationLimit);
}

std::unique_ptr<std::uint8_t[]> GetMemOrNil(std::int64_t size) {
    if (!CanAllocate(size))
        return nullptr;
    return std::unique_ptr<std::uint8_t[]>(new (std::nothrow)
                                               std::uint8_t[static_cast<std::size_t>(size)]);
}

void SetAllocationLimitForTesting(std::int64_t limit) {
    g_allocationLimit = limit;
}

const std::string& ProgramDirectory() {
    return g_programDirectory;
}

void SetProgramDirectory(const std::string& directory) {
    g_programDirectory = directory;
    if (!g_programDirectory.empty() && g_programDirectory.back() != kPathSeparator &&
        g_programDirectory.back() != '/')
        g_programDirectory.push_back(kPathSeparator);
}

void InitProgramDirectory() {
#if defined(__linux__)
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof(path) - 1);
    if (n > 0) {
        std::string full(path, static_cast<std::size_t>(n));
        SetProgramDirectory(full.substr(0, full.find_last_of('/') + 1));
        return;
    }
#endif
    SetProgramDirectory(".");
}
