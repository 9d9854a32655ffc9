// The IdPermutation configuration value and the identity transformation: a value is either
// refused with a reason or is a permutation of 0 to 30 other than the identity, formats back to
// itself, and moves the bits of an identity number without losing or adding any.

#include "BrokerLog.h"
#include "ConfigStore.h"
#include "FuzzSupport.h"
#include "IdPermutation.h"

#include <bit>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool quiet = [] {
        SetBrokerLogHook([](const std::string&) {});
        return true;
    }();
    (void)quiet;
    std::int32_t identity = 0;
    if (size >= 4) {
        std::memcpy(&identity, data, 4);
    }
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::string problem;
    const std::optional<TIdPermutation> table = ParseIdPermutation(text, &problem);
    if (!table) {
        if (problem.empty())
            std::abort();
    } else {
        bool seen[31] = {};
        bool identityTable = true;
        for (std::size_t i = 0; i < table->size(); ++i) {
            const int p = (*table)[i];
            if (p < 0 || p > 30 || seen[p])
                std::abort();
            seen[p] = true;
            identityTable = identityTable && p == static_cast<int>(i);
        }
        if (identityTable || ParseIdPermutation(FormatIdPermutation(*table)) != table)
            std::abort();
        const std::uint32_t response = TransformId(identity, *table);
        if (std::popcount(response) !=
            std::popcount(static_cast<std::uint32_t>(identity) & 0x7FFFFFFFu))
            std::abort();
    }

    // The same text as the configured value: either it is in force or the default is.
    TMemoryConfigStore store;
    TConfigValue value;
    value.Kind = TConfigValueKind::String;
    value.Text = text;
    store.Put(kIdPermutationValueName, value);
    IConfigStore* previous = SetConfigStore(&store);
    const TIdPermutation inForce = IdPermutation();
    SetConfigStore(previous);
    if (inForce != (table ? *table : kDefaultIdPermutation))
        std::abort();
    return 0;
}
