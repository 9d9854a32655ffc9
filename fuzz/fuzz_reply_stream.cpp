// The registration and the reassembly of replies from a byte stream, through the socket shim
// and the per-socket read-ahead, spilling included. Whatever the peer sends, the link ends
// every exchange without reading or writing outside its buffers, leaves no spill file, and
// every byte of a reply it accepted can be read back.

#include "FuzzSupport.h"
#include "PacketTransport.h"

#include <cstdlib>

namespace {

// Enough for a reply that spills (more than 350000 bytes), little more.
constexpr std::size_t kStreamLimit = 448 * 1024;

void ReadBack(TReplyBuffer* buffer) {
    std::uint8_t piece[1000];
    std::int32_t cursor = 1;
    while (cursor <= buffer->Size()) {
        ReadBytes(buffer, cursor, piece, sizeof piece);
    }
    std::string s;
    cursor = buffer->Size() > 300 ? buffer->Size() - 300 : 1;
    ReadShortString(buffer, cursor, s, 255);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInitProcess();
    const int descriptors = OpenDescriptorCount();
    {
        TStreamPeer peer(ExpandStream(data, size, kStreamLimit));
        TConnection socket(peer.ClientSocket());
        std::uint8_t tag = 0;
        std::uint32_t connectionId = 0;
        if (ReceiveRegistration(socket, tag, connectionId)) {
            for (int i = 0; i < 8; ++i) {
                TRequestRecord r;
                r.Code = static_cast<std::uint16_t>(368 + i);
                if (i % 3 == 1)
                    r.Payload =
                        std::make_unique<TRequestPayload>(std::vector<std::uint8_t>(600, 7));
                if (!ExchangeRequest(socket, connectionId, r))
                    break;
                if (r.Data) {
                    if (r.Data->Size() <= 0)
                        std::abort(); // a reply buffer always holds data
                    ReadBack(r.Data.get());
                }
            }
        }
        CloseConnection(socket);
    }
    CheckNoSpillFileLeft();
    if (OpenDescriptorCount() != descriptors)
        std::abort();
    return 0;
}
