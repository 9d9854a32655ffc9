#include "Wire.h"

namespace testserver {
namespace {

void Put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
    Put16(p, static_cast<std::uint16_t>(v));
    Put16(p + 2, static_cast<std::uint16_t>(v >> 16));
}
std::uint16_t Get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
std::uint32_t Get32(const std::uint8_t* p) {
    return Get16(p) | (static_cast<std::uint32_t>(Get16(p + 2)) << 16);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

void EncodeHeader(const PacketHeader& h, std::uint8_t* out) {
    Put32(out + 0, h.param);
    Put32(out + 4, h.data_length);
    Put32(out + 8, h.connection_id);
    Put16(out + 12, h.request_code);
    Put16(out + 14, h.serial);
    Put16(out + 16, h.value);
    Put16(out + 18, h.packet_count);
    Put16(out + 20, h.packet_index);
    Put16(out + 22, h.reply_code);
    Put16(out + 24, h.param2);
}

PacketHeader DecodeHeader(const std::uint8_t* in) {
    PacketHeader h;
    h.param = Get32(in + 0);
    h.data_length = Get32(in + 4);
    h.connection_id = Get32(in + 8);
    h.request_code = Get16(in + 12);
    h.serial = Get16(in + 14);
    h.value = Get16(in + 16);
    h.packet_count = Get16(in + 18);
    h.packet_index = Get16(in + 20);
    h.reply_code = Get16(in + 22);
    h.param2 = Get16(in + 24);
    return h;
}

std::string ToHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
    return out;
}

bool FromHex(std::string_view hex, std::string& out) {
    out.clear();
    int high = -1;
    for (const char c : hex) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r')
            continue;
        const int d = HexDigit(c);
        if (d < 0)
            return false;
        if (high < 0) {
            high = d;
        } else {
            out.push_back(static_cast<char>((high << 4) | d));
            high = -1;
        }
    }
    return high < 0;
}

} // namespace testserver
