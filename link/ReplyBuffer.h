#pragma once

// The data of one server reply, collected packet by packet and then read by position. Up to
// 350000 bytes are kept in memory; a larger reply spills to a numbered file in the TEMP folder
// under the program directory and is read back through a movable window.

#include "Runtime.h"

#include <cstdint>
#include <memory>
#include <string>

inline constexpr std::int32_t kReplyWindowSize = 350000;
inline constexpr int kChunkSize = 508;

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

    // Receiving a spilled reply straight to its file: the window is lent out as room for
    // whole packets as they arrive, and their data goes from there to the file in gathered
    // writes, so that a byte is copied once on its way in and once on its way out. The data
    // stored so far, all of it below data offset `storedEnd`, is written first. Answers the
    // room and its size in bytes.
    std::uint8_t* LendWindow(std::int32_t storedEnd, std::size_t& size);
    // Writes the data of `count` packets of `stride` bytes lying one after the other in the
    // lent window from `packets` on, each with its data `dataAt` bytes in, as packet `first`
    // and those after it; data beyond the reply's length is dropped.
    void WritePackets(const std::uint8_t* packets, std::size_t stride, std::size_t dataAt,
                      std::size_t count, std::uint16_t first);
    // Takes the window back once the reply is complete. The file then has the reply's length
    // (zeros where no packet wrote), and the window holds nothing until the first read.
    void TakeWindowBack();

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
    std::int32_t fileEnd_ = 0; // the bytes of the spill file written so far
    bool ready_ = false;
    bool spilled_ = false;
    bool fileFailed_ = false;
    bool lent_ = false;
    bool windowOnFile_ = false; // the window holds just what the file holds
};

// A buffer for `total` data bytes, or nothing (reported) when its memory or its spill file
// cannot be had.
std::unique_ptr<TReplyBuffer> CreateReplyBuffer(std::int32_t total);

// Reads a reply's fields one after the other from a 1-based cursor. Each read advances the
// cursor by the width it consumes, whether or not the data was there; a read past the end (or
// with no buffer at all) leaves its destination unchanged, answers false and sets Short() for
// good.
class TReplyReader final {
public:
    explicit TReplyReader(TReplyBuffer* buffer, std::int32_t cursor = 1)
        : buffer_(buffer), cursor_(cursor) {}

    bool Byte(std::uint8_t& destination);
    bool Char(char& destination);
    bool Word(std::uint16_t& destination); // little-endian
    bool Long(std::int32_t& destination);  // little-endian
    bool Bytes(void* destination, std::uint16_t count);
    // A length byte and that many characters; at most `maxLen` are kept, the cursor steps over
    // all of them. A length byte past the end leaves the destination's own length in force.
    bool ShortString(std::string& destination, std::uint8_t maxLen);
    // The address of `count` bytes at the cursor inside the buffer's window, without moving the
    // cursor; nothing when they are not all there.
    const std::uint8_t* Peek(std::int32_t count);
    // Steps over `count` bytes without reading them; stepping past the end is running short.
    void Skip(std::int64_t count);

    std::int32_t Cursor() const { return cursor_; }
    bool Short() const { return short_; }
    // When the reader ran short: reports one line naming the request and returns true.
    bool ReportIfShort(std::uint16_t requestCode) const;

private:
    bool ReadInto(void* destination, std::uint16_t count);
    void Advance(std::int64_t by);

    TReplyBuffer* buffer_;
    std::int32_t cursor_;
    bool short_ = false;
};

// The same reads on a caller's cursor: buffer, cursor, then destination and sizes; each answers
// whether it read.
bool ReadByte(TReplyBuffer* buffer, std::int32_t& cursor, std::uint8_t& destination);
bool ReadChar(TReplyBuffer* buffer, std::int32_t& cursor, char& destination);
bool ReadWord(TReplyBuffer* buffer, std::int32_t& cursor, std::uint16_t& destination);
bool ReadLong(TReplyBuffer* buffer, std::int32_t& cursor, std::int32_t& destination);
bool ReadBytes(TReplyBuffer* buffer, std::int32_t& cursor, void* destination, std::uint16_t count);
bool ReadShortString(TReplyBuffer* buffer, std::int32_t& cursor, std::string& destination,
                     std::uint8_t maxLen);
