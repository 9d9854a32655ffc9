#pragma once

// The server's packet: a 26-byte header and a 508-byte data area, every integer little-endian.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace testserver {

constexpr std::size_t kPacketSize = 534;
constexpr std::size_t kHeaderSize = 26;
constexpr std::size_t kDataAreaSize = 508;

struct PacketHeader {
    std::uint32_t param = 0;
    std::uint32_t data_length = 0;
    std::uint32_t connection_id = 0;
    std::uint16_t request_code = 0;
    std::uint16_t serial = 0;
    std::uint16_t value = 0;
    std::uint16_t packet_count = 0;
    std::uint16_t packet_index = 0;
    std::uint16_t reply_code = 0;
    std::uint16_t param2 = 0;
};

void EncodeHeader(const PacketHeader& h, std::uint8_t* out);
PacketHeader DecodeHeader(const std::uint8_t* in);

// Appends little-endian fields to a byte string.
class ByteWriter {
public:
    explicit ByteWriter(std::string& out) : out_(out) {}
    void U8(std::uint32_t v) { out_.push_back(static_cast<char>(v & 0xFF)); }
    void U16(std::uint32_t v) {
        U8(v);
        U8(v >> 8);
    }
    void U32(std::uint32_t v) {
        U16(v & 0xFFFF);
        U16(v >> 16);
    }
    void I32(std::int32_t v) { U32(static_cast<std::uint32_t>(v)); }
    void Bytes(std::string_view b) { out_.append(b); }
    // A length byte and the text's bytes; a text longer than 255 bytes is cut to 255.
    void ShortString(std::string_view b) {
        const std::size_t n = b.size() > 255 ? 255 : b.size();
        U8(static_cast<std::uint32_t>(n));
        out_.append(b.substr(0, n));
    }

private:
    std::string& out_;
};

std::string ToHex(std::string_view bytes);
// Parses hexadecimal digits, ignoring blanks; false on an odd count or a stray character.
bool FromHex(std::string_view hex, std::string& out);

} // namespace testserver
