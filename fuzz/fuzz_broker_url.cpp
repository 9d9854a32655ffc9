// The broker URL as typed into the login dialog or given on the command line: normalised
// once it is the same when normalised again, starts with "HTTP://", ends with "/", and holds
// no lower-case letter a to z.

#include "FuzzSupport.h"
#include "HttpLogin.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::optional<std::string> url = NormaliseBrokerURL(text);
    if (THTTPLoginLogic::ConnectEnabled(text) != !TrimmedBrokerURL(text).empty() && url)
        std::abort();
    if (!url) {
        if (!TrimmedBrokerURL(text).empty())
            std::abort();
        return 0;
    }
    if (url->rfind("HTTP://", 0) != 0 || url->back() != '/')
        std::abort();
    for (char c : *url)
        if (c >= 'a' && c <= 'z')
            std::abort();
    if (NormaliseBrokerURL(*url) != url)
        std::abort();
    if (ModuleURLOf(*url) != *url + "ZephWebMain.DLL")
        std::abort();
    return 0;
}
