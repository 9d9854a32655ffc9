// The fields of the two connect dialogs (and of zephran-admin's --spx and --tcp): validation
// never reads outside a field, a valid SPX address encodes to the digits it was typed with,
// and a valid TCP address gives octets and a port in range.

#include "ConnectLogin.h"
#include "FuzzSupport.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>

namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t n) {
    std::string out;
    char two[3];
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(two, sizeof two, "%02x", bytes[i]);
        out += two;
    }
    return out;
}

std::string Expected(std::string typed, std::size_t width) {
    for (char& c : typed)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (typed.size() >= width)
        return typed.substr(typed.size() - width);
    return std::string(width - typed.size(), '0') + typed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::vector<std::string> f = SplitFields(data, size, ':', 5);
    TSpxFields spx{f[0], f[1], f[2]};
    std::string message;
    const TSpxField failing = ValidateSpxFields(spx, message);
    if ((failing == TSpxField::None) != message.empty())
        std::abort();
    if (failing == TSpxField::None) {
        const TServerAddress a = EncodeIpxAddress(spx);
        const std::uint8_t socket[2] = {a[11], a[10]};
        if (Hex(a.data(), 4) != Expected(spx.NetworkNum, 8) ||
            Hex(a.data() + 4, 6) != Expected(spx.NodeNum, 12) ||
            Hex(socket, 2) != Expected(spx.SocketNum, 4))
            std::abort();
    }

    TTcpFields tcp{f[3], f[4]};
    std::array<std::uint8_t, 4> ip{};
    std::uint16_t port = 0;
    if (ValidateTcpFields(tcp, ip, port, message) != message.empty())
        std::abort();
    return 0;
}
