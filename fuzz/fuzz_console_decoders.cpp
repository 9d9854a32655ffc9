// The decoders of the console requests straight from reply data: the three lists, the status
// block, the error log chunk rule, the server date-time, and the typed readers under them.
// Input: [selector][count, 2 bytes][reply data]. A selector with bits 6 and 7 set repeats the data
// until the reply spills (more than 350000 bytes), so the window moves under the decoders.

#include "ConsoleRequests.h"
#include "FuzzSupport.h"
#include "ViewRules.h"

#include <cstdlib>
#include <cstring>

namespace {

std::unique_ptr<TReplyBuffer> MakeBuffer(const std::uint8_t* data, std::size_t size,
                                         std::size_t total) {
    if (total == 0)
        return nullptr;
    auto buffer = CreateReplyBuffer(static_cast<std::int32_t>(total));
    if (!buffer)
        return nullptr;
    // The data repeated: chunk i holds bytes i * 508 onward of the endless repetition.
    TBytes repeated(std::min(total, size + kChunkSize) + kChunkSize);
    for (std::size_t k = 0; k < repeated.size(); ++k)
        repeated[k] = data[k % size];
    for (std::size_t index = 0; index * kChunkSize < total; ++index)
        buffer->StoreChunk(static_cast<std::uint16_t>(index),
                           repeated.data() + (index * kChunkSize) % size);
    buffer->FlushWindow();
    return buffer;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInitProcess();
    if (size < 3)
        return 0;
    const std::uint8_t selector = data[0];
    const auto count = static_cast<std::uint16_t>(data[1] | (data[2] << 8));
    // Up to 2047 records: records past the end of the data decode alike, and each costs an
    // allocation, so larger counts only slow the search down.
    const auto records = static_cast<std::uint16_t>(count % 2048);
    data += 3;
    size -= 3;
    std::size_t total = size;
    if ((selector & 0xC0) == 0xC0 && size > 0)
        total = (400000 / size + 1) * size;
    {
        std::unique_ptr<TReplyBuffer> buffer = MakeBuffer(data, size, total);
        TReplyBuffer* b = buffer.get();
        switch (selector % 6) {
        case 0: {
            TLocConnList list;
            const bool decoded = DecodeLocalConnList(b, records, list);
            if (records == 0 && !decoded)
                std::abort(); // no records is an empty list, never a lack of memory
            if (decoded) {
                if (list.size() != records)
                    std::abort();
                for (const TLocConnInfo& c : list) {
                    if (c.Results.size() != c.ResultsCount || c.ResultsCount > kMaxResults)
                        std::abort();
                    LocalConnStatusText(c);
                    DecodeServerDateTime(c.LastRequestTime);
                }
            }
            break;
        }
        case 1: {
            TWebConnList list;
            if (!DecodeWebConnList(b, records, list) && records == 0)
                std::abort();
            for (const TWebConnInfo& w : list)
                if (w.UserName.size() > 30)
                    std::abort();
            break;
        }
        case 2: {
            TDBList list;
            const bool decoded = DecodeDBList(b, records, list);
            if (records == 0 && !decoded)
                std::abort();
            if (decoded) {
                for (const TDBInfo& d : list) {
                    if (d.ChildIds.size() != d.ChildCount || d.Results.size() != d.ResCount ||
                        d.Path.size() > 80)
                        std::abort();
                    ChildhoodText(d.IsParent, d.ChildCount);
                }
            }
            break;
        }
        case 3: {
            std::uint8_t block[kStatusBlockSize] = {};
            std::int32_t cursor = 1;
            ReadBytes(b, cursor, block, kStatusBlockSize);
            for (const TStatusLine& line : ServerStatusLines(DecodeStatusBlock(block)))
                if (line.Value.size() > 40)
                    std::abort();
            break;
        }
        case 4: {
            TServerText text;
            const auto length = static_cast<std::uint16_t>(std::min<std::size_t>(size, 4096));
            AppendErrorLogChunk(text, data, length);
            if (text.size() > 2u * length)
                std::abort();
            break;
        }
        case 5: {
            for (std::size_t at = 0; at + 6 <= size; at += 6) {
                TServerDateTime t;
                std::memcpy(t.data(), data + at, 6);
                DecodeServerDateTime(t);
            }
            std::int32_t cursor = static_cast<std::int32_t>(count) - 2;
            std::string s = "previous";
            std::uint8_t byte = 0;
            std::uint16_t word = 0;
            std::int32_t number = 0;
            ReadShortString(b, cursor, s, static_cast<std::uint8_t>(count >> 8));
            ReadByte(b, cursor, byte);
            ReadWord(b, cursor, word);
            ReadLong(b, cursor, number);
            if (s.size() > (count >> 8))
                std::abort();
            break;
        }
        }
    }
    CheckNoSpillFileLeft();
    return 0;
}
