// Windows-1256 both ways and the UTF-8 helpers beside them. Every byte has a character, so
// decoding then encoding gives the bytes back; any text encodes without reading past its end.

#include "BrokerText.h"
#include "FuzzSupport.h"
#include "Win1256.h"

#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    const std::string utf8 = DecodeWin1256(TServerText(std::string(bytes)));
    bool lossless = false;
    if (EncodeWin1256(utf8, &lossless).Bytes != bytes || !lossless)
        std::abort();
    if (Utf8Length(utf8) != size)
        std::abort();

    // The same bytes taken as UTF-8 typed by a user.
    lossless = true;
    const TServerText encoded = EncodeWin1256(bytes, &lossless);
    if (encoded.size() > size)
        std::abort();
    const std::size_t length = Utf8Length(bytes);
    const std::size_t cut = size > 0 ? data[0] % 64 : 0;
    const std::string left = Utf8Left(bytes, cut);
    if (left.size() > size || Utf8Length(left) > cut)
        std::abort();
    if (CutText(bytes, cut).size() > size || length > size)
        std::abort();
    std::size_t pos = 0;
    while (pos < size) {
        const std::size_t before = pos;
        NextUtf8CodePoint(bytes, pos);
        if (pos <= before || pos > size)
            std::abort();
    }
    return 0;
}
