#include "ReplyBuffer.h"

#include "MessageDialogs.h"
#include "StatePaths.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#endif

namespace {

enum class TProbe { Free, Taken, TooManyFiles, Unusable };

// Bytes to write, one of several written one after the other.
struct TWritePiece {
    const std::uint8_t* Data;
    std::size_t Length;
};

#if defined(_WIN32)
TProbe ProbeName(const std::string& name) {
    int fd = -1;
    const errno_t err = _sopen_s(&fd, name.c_str(), _O_RDWR | _O_BINARY, _SH_DENYWR, 0);
    if (err == 0) {
        _close(fd);
        return TProbe::Taken;
    }
    if (err == ENOENT)
        return TProbe::Free;
    if (err == EMFILE)
        return TProbe::TooManyFiles;
    return TProbe::Unusable;
}

int CreateExclusive(const std::string& name) {
    int fd = -1;
    if (_sopen_s(&fd, name.c_str(), _O_RDWR | _O_CREAT | _O_EXCL | _O_BINARY, _SH_DENYWR,
                 _S_IREAD | _S_IWRITE) != 0)
        return -1;
    return fd;
}

bool WriteAt(int fd, std::int64_t offset, const std::uint8_t* data, std::int64_t count) {
    if (_lseeki64(fd, offset, SEEK_SET) < 0)
        return false;
    while (count > 0) {
        const int n =
            _write(fd, data, static_cast<unsigned>(std::min<std::int64_t>(count, INT_MAX)));
        if (n <= 0)
            return false;
        data += n;
        count -= n;
    }
    return true;
}

bool WritePiecesAt(int fd, std::int64_t offset, const TWritePiece* pieces, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        const auto length = static_cast<std::int64_t>(pieces[i].Length);
        if (!WriteAt(fd, offset, pieces[i].Data, length))
            return false;
        offset += length;
    }
    return true;
}

std::int64_t ReadAt(int fd, std::int64_t offset, std::uint8_t* data, std::int64_t count) {
    if (_lseeki64(fd, offset, SEEK_SET) < 0)
        return -1;
    std::int64_t done = 0;
    while (done < count) {
        const int n = _read(fd, data + done, static_cast<unsigned>(count - done));
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

void CloseFile(int fd) {
    _close(fd);
}
void RemoveFile(const std::string& name) {
    _unlink(name.c_str());
}
#else
bool DirectoryExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

TProbe ProbeName(const std::string& name) {
    const int fd = ::open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd >= 0) {
        ::close(fd);
        return TProbe::Taken;
    }
    switch (errno) {
    case ENOENT: {
        // Not found: free, unless the folder itself is missing ("path not found").
        const auto slash = name.find_last_of(kPathSeparator);
        const std::string folder = slash == std::string::npos ? "." : name.substr(0, slash);
        return DirectoryExists(folder) ? TProbe::Free : TProbe::Unusable;
    }
    case EMFILE:
    case ENFILE:
        return TProbe::TooManyFiles;
    default:
        return TProbe::Unusable; // a link, a folder, no access: pass it over
    }
}

int CreateExclusive(const std::string& name) {
    // Exclusive and for the owner only: never follows or reuses a name that appeared meanwhile.
    return ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
}

bool WriteAt(int fd, std::int64_t offset, const std::uint8_t* data, std::int64_t count) {
    while (count > 0) {
        const ssize_t n = ::pwrite(fd, data, static_cast<std::size_t>(count), offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        offset += n;
        count -= n;
    }
    return true;
}

// The pieces one after the other from `offset` on, with as few system calls as the system's
// limit on pieces a call allows.
bool WritePiecesAt(int fd, std::int64_t offset, const TWritePiece* pieces, std::size_t count) {
    constexpr std::size_t kMost = 1024;
    iovec vectors[kMost];
    std::size_t next = 0;
    std::size_t skip = 0; // bytes of pieces[next] written already
    while (next < count) {
        std::size_t n = 0;
        for (std::size_t i = next; i < count && n < kMost; ++i, ++n)
            vectors[n] = iovec{const_cast<std::uint8_t*>(pieces[i].Data) + (i == next ? skip : 0),
                               pieces[i].Length - (i == next ? skip : 0)};
        ssize_t written = ::pwritev(fd, vectors, static_cast<int>(n), offset);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        offset += written;
        // Steps over what was written, a piece written in part included.
        auto left = static_cast<std::size_t>(written);
        while (next < count && left >= pieces[next].Length - skip) {
            left -= pieces[next].Length - skip;
            skip = 0;
            ++next;
        }
        skip += left;
    }
    return true;
}

std::int64_t ReadAt(int fd, std::int64_t offset, std::uint8_t* data, std::int64_t count) {
    std::int64_t done = 0;
    while (done < count) {
        const ssize_t n =
            ::pread(fd, data + done, static_cast<std::size_t>(count - done), offset + done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

void CloseFile(int fd) {
    ::close(fd);
}
void RemoveFile(const std::string& name) {
    ::unlink(name.c_str());
}
#endif

// The spill files open now. A file is made and entered under the lock, and removed and
// forgotten under it, so that RemoveOpenSpillFiles never misses one nor removes a name that
// another program may have taken meanwhile. Never destroyed: a program's end may come from
// another thread while main returns.
struct TOpenSpills {
    std::mutex Lock;
    std::vector<std::string> Names;
    bool Ending = false;
};

TOpenSpills& OpenSpills() {
    static TOpenSpills* spills = new TOpenSpills;
    return *spills;
}

// Makes the file and enters its name; -1 (errno set) when it cannot be made.
int CreateSpillFile(const std::string& name) {
    TOpenSpills& spills = OpenSpills();
    std::lock_guard<std::mutex> lock(spills.Lock);
    if (spills.Ending) {
        errno = EINTR;
        return -1;
    }
    const int fd = CreateExclusive(name);
    if (fd >= 0) {
        try {
            spills.Names.push_back(name);
        } catch (...) {
            CloseFile(fd);
            RemoveFile(name);
            errno = ENOMEM;
            return -1;
        }
    }
    return fd;
}

void RemoveSpillFile(int fd, const std::string& name) {
    TOpenSpills& spills = OpenSpills();
    std::lock_guard<std::mutex> lock(spills.Lock);
    CloseFile(fd);
    if (spills.Ending)
        return; // already removed
    RemoveFile(name);
    const auto at = std::find(spills.Names.begin(), spills.Names.end(), name);
    if (at != spills.Names.end())
        spills.Names.erase(at);
}

} // namespace

void RemoveOpenSpillFiles() {
    TOpenSpills& spills = OpenSpills();
    std::lock_guard<std::mutex> lock(spills.Lock);
    spills.Ending = true;
    for (const std::string& name : spills.Names)
        RemoveFile(name);
    spills.Names.clear();
}

std::string MakeTempFileName(const std::string& prefix) {
    const std::string base = SpillFolder() + prefix;
    for (int n = 1; n <= 255; ++n) {
        const std::string candidate = base + std::to_string(n) + ".T";
        switch (ProbeName(candidate)) {
        case TProbe::Free:
            return candidate;
        case TProbe::TooManyFiles:
            ShowMessageBox("Too many open file!");
            return {};
        case TProbe::Taken:
        case TProbe::Unusable:
            break;
        }
    }
    return {};
}

std::unique_ptr<TReplyBuffer> CreateReplyBuffer(std::int32_t total) {
    std::unique_ptr<TReplyBuffer> buffer(new (std::nothrow) TReplyBuffer());
    if (buffer)
        buffer->windowSize_ = std::min(total, kReplyWindowSize);
    if (buffer)
        buffer->window_ = GetMemOrNil(buffer->windowSize_);
    if (!buffer || !buffer->window_) {
        Report("Could not Allocate Memory for Receive Buffer");
        return nullptr;
    }
    buffer->ready_ = true;
    std::memset(buffer->window_.get(), 0, static_cast<std::size_t>(buffer->windowSize_));
    buffer->windowStart_ = 0;
    buffer->totalSize_ = total;
    if (total > buffer->windowSize_) {
        // A name can be taken between the probe and the creation; the next probe passes it
        // over like any existing file.
        for (int attempt = 0; attempt < 255 && buffer->file_ < 0; ++attempt) {
            const std::string name = MakeTempFileName("RCVB");
            if (name.empty())
                break;
            buffer->file_ = CreateSpillFile(name);
            if (buffer->file_ >= 0)
                buffer->fileName_ = name;
            else if (errno != EEXIST)
                break;
        }
        if (buffer->file_ < 0) {
            Report("Could not make receive temporary file");
            return nullptr;
        }
        buffer->spilled_ = true;
    }
    return buffer;
}

TReplyBuffer::~TReplyBuffer() {
    if (file_ >= 0)
        RemoveSpillFile(file_, fileName_);
}

void TReplyBuffer::StoreChunk(std::uint16_t index, const std::uint8_t* chunk) {
    const std::int64_t offset = std::int64_t{index} * kChunkSize;
    if (offset > totalSize_ || !ready_)
        return;
    const auto length =
        static_cast<std::int32_t>(std::min<std::int64_t>(kChunkSize, totalSize_ - offset));
    const auto off = static_cast<std::int32_t>(offset);
    if (off < windowStart_ || std::int64_t{windowStart_} + windowSize_ < offset + length) {
        FlushWindow();
        LoadWindow(off);
    }
    windowOnFile_ = false;
    // Only a spilled buffer's window moves, so an unspilled one always holds the range.
    if (off >= windowStart_ &&
        std::int64_t{off} + length <= std::int64_t{windowStart_} + windowSize_)
        std::memcpy(window_.get() + (off - windowStart_), chunk, static_cast<std::size_t>(length));
}

void TReplyBuffer::FlushWindow() {
    if (!spilled_ || lent_ || windowOnFile_)
        return;
    const std::int32_t count = std::min(windowSize_, totalSize_ - windowStart_);
    if (count <= 0)
        return;
    // The whole window in one write: a spilled reply costs one system call per window.
    if (!WriteAt(file_, windowStart_, window_.get(), count))
        fileFailed_ = true;
    else
        fileEnd_ = std::max(fileEnd_, windowStart_ + count);
}

void TReplyBuffer::LoadWindow(std::int32_t offset) {
    windowStart_ = offset;
    // Nothing was written from there on yet (the window moving on while the reply arrives):
    // a read would only find the end of the file.
    if (!spilled_ || offset >= fileEnd_)
        return;
    if (ReadAt(file_, offset, window_.get(), windowSize_) < 0)
        fileFailed_ = true;
}

std::uint8_t* TReplyBuffer::LendWindow(std::int32_t storedEnd, std::size_t& size) {
    if (!lent_) {
        const std::int32_t end = std::min({storedEnd, windowStart_ + windowSize_, totalSize_});
        if (spilled_ && !windowOnFile_ && end > windowStart_) {
            if (!WriteAt(file_, windowStart_, window_.get(), end - windowStart_))
                fileFailed_ = true;
            else
                fileEnd_ = std::max(fileEnd_, end);
        }
        lent_ = true;
    }
    size = static_cast<std::size_t>(windowSize_);
    return window_.get();
}

void TReplyBuffer::WritePackets(const std::uint8_t* packets, std::size_t stride, std::size_t dataAt,
                                std::size_t count, std::uint16_t first) {
    // No more packets than the window holds data of.
    constexpr std::size_t kMost = kReplyWindowSize / kChunkSize + 1;
    TWritePiece pieces[kMost];
    std::int64_t at = std::int64_t{first} * kChunkSize;
    std::size_t k = 0;
    while (k < count && at < totalSize_ && !fileFailed_) {
        const std::int64_t from = at;
        std::size_t n = 0;
        for (; k < count && n < kMost && at < totalSize_; ++k) {
            const auto length =
                static_cast<std::size_t>(std::min<std::int64_t>(kChunkSize, totalSize_ - at));
            pieces[n++] = {packets + k * stride + dataAt, length};
            at += static_cast<std::int64_t>(length);
        }
        if (!WritePiecesAt(file_, from, pieces, n))
            fileFailed_ = true;
        else
            fileEnd_ = std::max(fileEnd_, static_cast<std::int32_t>(at));
    }
}

void TReplyBuffer::TakeWindowBack() {
    if (!lent_)
        return;
    lent_ = false;
    // Data that no packet carried reads as zeros, up to the reply's length.
    std::memset(window_.get(), 0, static_cast<std::size_t>(windowSize_));
    while (fileEnd_ < totalSize_ && !fileFailed_) {
        const std::int32_t count = std::min(windowSize_, totalSize_ - fileEnd_);
        if (!WriteAt(file_, fileEnd_, window_.get(), count))
            fileFailed_ = true;
        else
            fileEnd_ += count;
    }
    // The window holds nothing now; the first read loads it.
    windowStart_ = totalSize_;
    windowOnFile_ = true;
}

const std::uint8_t* TReplyBuffer::GetPointer(std::int32_t position, std::int32_t count) {
    const std::int64_t offset = std::int64_t{position} - 1;
    if (!ready_ || fileFailed_ || offset < 0 || count < 0 || offset + count > totalSize_ ||
        count > kReplyWindowSize)
        return nullptr;
    if (spilled_ &&
        (offset < windowStart_ || std::int64_t{windowStart_} + windowSize_ < offset + count))
        LoadWindow(static_cast<std::int32_t>(offset));
    if (offset < windowStart_ || offset + count > std::int64_t{windowStart_} + windowSize_)
        return nullptr;
    return window_.get() + (offset - windowStart_);
}

bool TReplyBuffer::Read(std::int32_t position, std::uint16_t count, void* destination) {
    const std::uint8_t* p = GetPointer(position, count);
    if (p == nullptr)
        return false;
    if (count > 0)
        std::memcpy(destination, p, count);
    return true;
}

void TReplyReader::Advance(std::int64_t by) {
    cursor_ =
        static_cast<std::int32_t>(std::min<std::int64_t>(INT32_MAX, std::int64_t{cursor_} + by));
}

bool TReplyReader::ReadInto(void* destination, std::uint16_t count) {
    const bool read = buffer_ != nullptr && buffer_->Read(cursor_, count, destination);
    if (!read)
        short_ = true;
    Advance(count);
    return read;
}

bool TReplyReader::Byte(std::uint8_t& destination) {
    return ReadInto(&destination, 1);
}

bool TReplyReader::Char(char& destination) {
    return ReadInto(&destination, 1);
}

bool TReplyReader::Word(std::uint16_t& destination) {
    std::uint8_t b[2];
    if (!ReadInto(b, 2))
        return false;
    destination = static_cast<std::uint16_t>(b[0] | (b[1] << 8));
    return true;
}

bool TReplyReader::Long(std::int32_t& destination) {
    std::uint8_t b[4];
    if (!ReadInto(b, 4))
        return false;
    destination =
        static_cast<std::int32_t>(std::uint32_t{b[0]} | (std::uint32_t{b[1]} << 8) |
                                  (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[3]} << 24));
    return true;
}

bool TReplyReader::Bytes(void* destination, std::uint16_t count) {
    return ReadInto(destination, count);
}

bool TReplyReader::ShortString(std::string& destination, std::uint8_t maxLen) {
    std::uint8_t length = 0;
    const bool lengthRead = ReadInto(&length, 1);
    const std::size_t l = lengthRead ? length : std::min<std::size_t>(destination.size(), 255);
    const std::size_t kept = std::min<std::size_t>(l, maxLen);
    char text[255];
    const bool textRead =
        buffer_ != nullptr && buffer_->Read(cursor_, static_cast<std::uint16_t>(kept), text);
    if (textRead)
        destination.assign(text, kept);
    else
        destination.resize(kept);
    // The characters beyond the kept ones must be there too.
    const bool wasShort = short_;
    short_ = false;
    Skip(static_cast<std::int64_t>(l));
    const bool whole = lengthRead && textRead && !short_;
    short_ = wasShort || !whole;
    return whole;
}

const std::uint8_t* TReplyReader::Peek(std::int32_t count) {
    return buffer_ == nullptr ? nullptr : buffer_->GetPointer(cursor_, count);
}

void TReplyReader::Skip(std::int64_t count) {
    Advance(count);
    const std::int64_t end = buffer_ == nullptr ? 1 : std::int64_t{buffer_->Size()} + 1;
    if (count > 0 && std::int64_t{cursor_} > end)
        short_ = true;
}

bool TReplyReader::ReportIfShort(std::uint16_t requestCode) const {
    if (!short_)
        return false;
    Report("Reply to request " + std::to_string(requestCode) +
           " ran short: " + std::to_string(buffer_ == nullptr ? 0 : buffer_->Size()) +
           " data bytes where at least " + std::to_string(std::int64_t{cursor_} - 1) +
           " were read");
    return true;
}

namespace {

// Runs one read of a reader at the caller's cursor and moves the cursor on.
template <typename Read> bool AtCursor(TReplyBuffer* buffer, std::int32_t& cursor, Read read) {
    TReplyReader reader(buffer, cursor);
    const bool done = read(reader);
    cursor = reader.Cursor();
    return done;
}

} // namespace

bool ReadByte(TReplyBuffer* buffer, std::int32_t& cursor, std::uint8_t& destination) {
    return AtCursor(buffer, cursor, [&](TReplyReader& r) { return r.Byte(destination); });
}

bool ReadChar(TReplyBuffer* buffer, std::int32_t& cursor, char& destination) {
    return AtCursor(buffer, cursor, [&](TReplyReader& r) { return r.Char(destination); });
}

bool ReadWord(TReplyBuffer* buffer, std::int32_t& cursor, std::uint16_t& destination) {
    return AtCursor(buffer, cursor, [&](TReplyReader& r) { return r.Word(destination); });
}

bool ReadLong(TReplyBuffer* buffer, std::int32_t& cursor, std::int32_t& destination) {
    return AtCursor(buffer, cursor, [&](TReplyReader& r) { return r.Long(destination); });
}

bool ReadBytes(TReplyBuffer* buffer, std::int32_t& cursor, void* destination, std::uint16_t count) {
    return AtCursor(buffer, cursor, [&](TReplyReader& r) { return r.Bytes(destination, count); });
}

bool ReadShortString(TReplyBuffer* buffer, std::int32_t& cursor, std::string& destination,
                     std::uint8_t maxLen) {
    return AtCursor(buffer, cursor,
                    [&](TReplyReader& r) { return r.ShortString(destination, maxLen); });
}
