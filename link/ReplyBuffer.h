#pragma once

// The data of one server reply, collected packet by packet and then read by position. Up to
// 350000 bytes are kept in memory; a larger reply spills to a numbered file in the TEMP folder
// under the program directory and is read back through a movable window.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

inline constexpr std::int32_t kReplyWindowSize = 350000;
inline constexpr int kChunkSize = 508;

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

// "TEMP/" + prefix + n + ".T" under the program directory for the first n from 1 to 255 that
// names no existing file; empty when there is none.
std::string MakeTempFileName(const std::string& prefix);

// Removes every spill file open now, and makes every later attempt to make one fail. For a
// program that is ending at once (see ExitGuard.h); safe from any thread.
void RemoveOpenSpillFiles();

class TReplyBuffer final {
public:
    ~TReplyBuffer();
    TReplyBuffer(const TReplyBuffer&) = delete;
    TReplyBuffer& operator=(const TReplyBuffer&) = delete;

    std::int32_t Size() const { return totalSize_; }

    // Copies `count` bytes from the 1-based position into `destination`; copies nothing and
    // answers false when the range runs past the end.
    bool Read(std::int32_t position, std::uint16_t count, void* destination);

    // Stores packet `index`'s data, which belongs at index × 508.
    void StoreChunk(std::uint16_t index, const std::uint8_t* chunk);
    // Writes the window to the spill file (only when spilled).
    void FlushWindow();

    // The address of `count` bytes at the 1-based position inside the window, or nothing.
    const std::uint8_t* GetPointer(std::int32_t position, std::int32_t count);

    bool Spilled() const { return spilled_; }
    const std::string& SpillFileName() const { return fileName_; }
    // True once writing or reading the spill file failed; the data is then not to be trusted.
    bool FileFailed() const { return fileFailed_; }

private:
    friend std::unique_ptr<TReplyBuffer> CreateReplyBuffer(std::int32_t total);
    TReplyBuffer() = default;
    void LoadWindow(std::int32_t offset);

    std::int32_t windowSize_ = 0;
    std::unique_ptr<std::uint8_t[]> window_;
    int file_ = -1;
    std::string fileName_;
    std::int32_t totalSize_ = 0;
    std::int32_t windowStart_ = 0;
    bool ready_ = false;
    bool spilled_ = false;
    bool fileFailed_ = false;
};

// A buffer for `total` data bytes, or nothing (reported) when its memory or its spill file
// cannot be had.
std::unique_ptr<TReplyBuffer> CreateReplyBuffer(std::int32_t total);

// Typed readers. Each reads at the caller's 1-based cursor and advances the cursor by the
// width it consumes, whether or not the data was there; a read past the end (or with no
// buffer at all) leaves the destination unchanged.
void ReadByte(TReplyBuffer* buffer, std::uint8_t& destination, std::int32_t& cursor);
void ReadChar(TReplyBuffer* buffer, char& destination, std::int32_t& cursor);
void ReadWord(TReplyBuffer* buffer, std::uint16_t& destination, std::int32_t& cursor);
void ReadLong(TReplyBuffer* buffer, std::int32_t& destination, std::int32_t& cursor);
void ReadBytes(TReplyBuffer* buffer, std::int32_t& cursor, std::uint16_t count, void* destination);
// A length byte and that many characters; at most `maxLen` are kept, the cursor steps over
// all of them.
void ReadShortString(TReplyBuffer* buffer, std::string& destination, std::uint8_t maxLen,
                     std::int32_t& cursor);
