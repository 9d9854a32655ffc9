#pragma once

// What the server link and the layers above it share about the running program: the hook
// through which failures are reported, allocations that yield nothing instead of failing, and
// the program's own directory.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// The hook through which the link and the dispatcher report failures. It does nothing until
// the dispatcher points it at the error log.
using TReportProc = std::function<void(const std::string&)>;
extern TReportProc ReportProc;
void Report(const std::string& message); // calls ReportProc when set

// An allocation that yields nothing instead of failing; a size of 0 or less yields nothing.
std::unique_ptr<std::uint8_t[]> GetMemOrNil(std::int64_t size);
// True when GetMemOrNil would hand out `size` bytes now (the test limit and the size rule).
bool CanAllocate(std::int64_t size);
// Test seam: allocations larger than `limit` bytes fail (a negative limit switches it off).
void SetAllocationLimitForTesting(std::int64_t limit);

// The program file's directory with a trailing separator. Set at start from the running
// executable; tests point it at a folder of their own.
const std::string& ProgramDirectory();
void SetProgramDirectory(const std::string& directory);
void InitProgramDirectory();

// The platform's separator of folders in a path.
#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif
