#include "FuzzSupport.h"

#include "MessageDialogs.h"
#include "PacketTransport.h"
#include "ReplyBuffer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class TQuietPresenter final : public IMessagePresenter {
public:
    TMsgDlgBtn Present(const TMessageRequest& request) override { return request.DefaultButton; }
};

TQuietPresenter g_presenter;
std::string g_folder;

int CountEntries(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    int count = 0;
    while (const dirent* e = ::readdir(dir))
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            ++count;
    ::closedir(dir);
    return count;
}

std::uint16_t Word(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

void PutWord(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLong(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

} // namespace

void FuzzInitProcess() {
    static bool done = false;
    if (done)
        return;
    done = true;
    // Spill files are written and removed many times a second: memory-backed when there is
    // such a folder.
    struct stat st {};
    std::string pattern = ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)
                              ? "/dev/shm/zephran-fuzz-XXXXXX"
                              : "/tmp/zephran-fuzz-XXXXXX";
    const char* made = ::mkdtemp(pattern.data());
    if (made == nullptr)
        std::abort();
    g_folder = std::string(made) + "/";
    ::mkdir((g_folder + "TEMP").c_str(), 0700);
    // The folder goes with the process (a crash leaves it, with the input that caused it).
    std::atexit([] {
        ::rmdir((g_folder + "TEMP").c_str());
        ::rmdir(g_folder.c_str());
    });
    SetProgramDirectory(g_folder);
    SetMessagePresenter(&g_presenter);
    ReportProc = nullptr;
}

int OpenDescriptorCount() {
    return CountEntries("/proc/self/fd");
}

void CheckNoSpillFileLeft() {
    if (CountEntries(g_folder + "TEMP") != 0) {
        std::fprintf(stderr, "a spill file was left in %sTEMP\n", g_folder.c_str());
        std::abort();
    }
}

// Record flags: bit 0 frames the packets correctly (DataLength, PacketCount and PacketIndex
// made to fit the data); bits 1-3 repeat the data 4^k times; bit 4 keeps the header's own
// PacketIndex in every packet instead of counting; bit 5 sends the record with the one before
// it (a reply followed by packets nobody asked for).
std::vector<TBytes> ExpandStream(const std::uint8_t* data, std::size_t size, std::size_t limit) {
    std::vector<TBytes> segments;
    if (size == 0)
        return segments;
    std::size_t sent = 0;
    std::size_t at = 1;
    if ((data[0] & 1) == 0) {
        while (at + 2 <= size && sent < limit) {
            const std::size_t length =
                std::min<std::size_t>({Word(data + at), size - (at + 2), limit - sent});
            segments.emplace_back(data + at + 2, data + at + 2 + length);
            sent += length;
            at += 2 + length;
        }
        return segments;
    }
    while (at + 29 <= size && sent < limit) {
        const std::uint8_t flags = data[at];
        std::uint8_t header[kHeaderSize];
        std::memcpy(header, data + at + 1, kHeaderSize);
        const std::size_t length = std::min<std::size_t>(Word(data + at + 27), size - (at + 29));
        const std::uint8_t* chunk = data + at + 29;
        at += 29 + length;
        const std::size_t repeat = std::size_t{1} << (2 * ((flags >> 1) & 7));
        const std::size_t total = std::min(length * repeat, limit);
        const std::size_t packets = total == 0 ? 1 : (total + kChunkSize - 1) / kChunkSize;
        if (flags & 1) {
            PutLong(header + 4, static_cast<std::uint32_t>(total));
            PutWord(header + 18, static_cast<std::uint16_t>(packets));
        }
        if (segments.empty() || (flags & 0x20) == 0)
            segments.emplace_back();
        TBytes& out = segments.back();
        // The data repeated once and a packet more, so every packet's chunk is one copy.
        TBytes pattern(length == 0 ? 0 : length + kChunkSize);
        for (std::size_t k = 0; k < pattern.size(); ++k)
            pattern[k] = chunk[k % length];
        for (std::size_t i = 0; i < packets && sent < limit; ++i) {
            if ((flags & 0x10) == 0)
                PutWord(header + 20, static_cast<std::uint16_t>(i));
            const std::size_t base = out.size();
            out.resize(base + kPacketSize, 0);
            sent += kPacketSize;
            std::memcpy(out.data() + base, header, kHeaderSize);
            const std::size_t from = i * kChunkSize;
            if (length > 0 && from < total)
                std::memcpy(out.data() + base + kHeaderSize, pattern.data() + from % length,
                            std::min<std::size_t>(kChunkSize, total - from));
        }
    }
    return segments;
}

TStreamPeer::TStreamPeer(std::vector<TBytes> segments) : segments_(std::move(segments)) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        std::abort();
    client_ = fds[0];
    peer_ = fds[1];
    // A link that waits for bytes that never come must not hold the run for long.
    SocketShim::SetTimeouts(client_, 2000);
    thread_ = std::thread([this] { Run(); });
}

TStreamPeer::~TStreamPeer() {
    // Ends the thread's sends and receives whatever the link did with its end.
    ::shutdown(peer_, SHUT_RDWR);
    thread_.join();
    ::close(peer_);
}

namespace {

bool SendAll(int fd, const TBytes& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool ReceiveAll(int fd, std::uint8_t* into, std::size_t n) {
    while (n > 0) {
        const ssize_t got = ::recv(fd, into, n, 0);
        if (got <= 0)
            return false;
        into += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

} // namespace

void TStreamPeer::Run() {
    std::uint8_t packet[kPacketSize];
    for (std::size_t next = 0; next < segments_.size(); ++next) {
        if (next > 0) {
            // One whole request: as many packets as its first one announces.
            if (!ReceiveAll(peer_, packet, kPacketSize))
                return;
            const std::uint16_t count = Word(packet + 18);
            for (std::uint16_t i = 1; i < count; ++i)
                if (!ReceiveAll(peer_, packet, kPacketSize))
                    return;
        }
        const TBytes& segment = segments_[next];
        if (!SendAll(peer_, segment))
            return;
        // A segment shorter than what the link reads next (the registration packet, or every
        // packet the reply's first packet announces) leaves the link waiting for the rest: the
        // peer then ends its side, so that the run never waits for a time-out.
        std::size_t needed = kPacketSize;
        if (next > 0 && segment.size() >= kHeaderSize)
            needed *= std::max<std::size_t>(1, Word(segment.data() + 18));
        if (segment.size() < needed)
            break;
    }
    ::shutdown(peer_, SHUT_WR);
    while (ReceiveAll(peer_, packet, kPacketSize)) {
    }
}

std::vector<std::string> SplitFields(const std::uint8_t* data, std::size_t size, char separator,
                                     std::size_t count) {
    std::vector<std::string> fields(count);
    std::size_t field = 0;
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c == separator && field + 1 < count)
            ++field;
        else
            fields[field].push_back(c);
    }
    return fields;
}
