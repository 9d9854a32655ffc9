#pragma once

// Shared pieces of the fuzz targets: a quiet message presenter, a program folder with its TEMP
// folder, the checks that nothing was left behind (open descriptors, spill files), and a peer
// on the other end of a socket pair that plays a byte stream to the link.

#include "SocketShim.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

using TBytes = std::vector<std::uint8_t>;

// Once per process: a fresh program folder with TEMP/, a presenter that answers every box with
// its default button, the link's report hook silenced.
void FuzzInitProcess();

// The number of open descriptors of this process.
int OpenDescriptorCount();
// Aborts when the TEMP folder holds a file (a reply buffer did not remove its spill file).
void CheckNoSpillFileLeft();

// What a peer sends, from a fuzz input, as segments: the first goes out at connect, each
// later one after the link's next whole request has arrived (a server speaks only when asked).
// An even first byte: the rest is segments of [length, 2 bytes][bytes]. An odd first byte:
// records of [flags][26 header bytes][length, 2 bytes][length data bytes], each sent as packets
// of 534 bytes (see FuzzSupport.cpp); this reaches large, spilling replies from small inputs.
// At most `limit` bytes in all.
std::vector<TBytes> ExpandStream(const std::uint8_t* data, std::size_t size, std::size_t limit);

// The far end of a socket pair: plays the segments, then ends its side. The link's end is the
// caller's to close (a TConnection that adopts it).
class TStreamPeer final {
public:
    explicit TStreamPeer(std::vector<TBytes> segments);
    ~TStreamPeer();
    TStreamPeer(const TStreamPeer&) = delete;
    TStreamPeer& operator=(const TStreamPeer&) = delete;
    TSocket ClientSocket() const { return client_; }

private:
    void Run();
    std::vector<TBytes> segments_;
    int peer_ = -1;
    TSocket client_ = kInvalidSocket;
    std::thread thread_;
};

// Reads the input as a few fields separated by a byte value (for targets with several texts).
std::vector<std::string> SplitFields(const std::uint8_t* data, std::size_t size, char separator,
                                     std::size_t count);
