#include "IdPermutation.h"

#include "BrokerLog.h"
#include "BrokerText.h"
#include "ConfigStore.h"

#include <charconv>

const TIdPermutation kDefaultIdPermutation = {3,  10, 17, 24, 0,  7,  14, 21, 28, 4,  11,
                                              18, 25, 1,  8,  15, 22, 29, 5,  12, 19, 26,
                                              2,  9,  16, 23, 30, 6,  13, 20, 27};

std::optional<TIdPermutation> ParseIdPermutation(std::string_view text, std::string* problem) {
    auto fail = [problem](std::string why) -> std::optional<TIdPermutation> {
        if (problem != nullptr)
            *problem = std::move(why);
        return std::nullopt;
    };
    TIdPermutation table{};
    std::array<bool, kIdentityBits> seen{};
    std::size_t count = 0;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t comma = text.find(',', pos);
        const std::string item = TrimBlanks(text.substr(
            pos, comma == std::string_view::npos ? std::string_view::npos : comma - pos));
        int value = -1;
        const auto [end, ec] = std::from_chars(item.data(), item.data() + item.size(), value);
        if (item.empty() || ec != std::errc() || end != item.data() + item.size())
            return fail("\"" + item + "\" is not a bit position");
        if (value < 0 || value > kHighestBitPosition)
            return fail(item + " is not a bit position from 0 to " +
                        std::to_string(kHighestBitPosition));
        if (count == table.size())
            return fail("more than " + std::to_string(kIdentityBits) + " positions");
        if (seen[static_cast<std::size_t>(value)])
            return fail(item + " occurs twice");
        seen[static_cast<std::size_t>(value)] = true;
        table[count++] = value;
        if (comma == std::string_view::npos)
            break;
        pos = comma + 1;
    }
    if (count != table.size())
        return fail("only " + std::to_string(count) + " of " + std::to_string(kIdentityBits) +
                    " positions");
    bool identity = true;
    for (std::size_t i = 0; i < table.size(); ++i)
        identity = identity && table[i] == static_cast<int>(i);
    if (identity)
        return fail("the identity is not a permutation the broker accepts");
    return table;
}

std::string FormatIdPermutation(const TIdPermutation& table) {
    std::string out;
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (i != 0)
            out.push_back(',');
        out += std::to_string(table[i]);
    }
    return out;
}

TIdPermutation IdPermutation() {
    const IConfigStore* store = CurrentConfigStore();
    if (store == nullptr)
        return kDefaultIdPermutation;
    const TConfigValue value = store->Read(kIdPermutationValueName);
    if (value.Kind == TConfigValueKind::Missing)
        return kDefaultIdPermutation;
    std::string problem = "it is not a text value";
    if (value.Kind == TConfigValueKind::String) {
        if (auto table = ParseIdPermutation(value.Text, &problem))
            return *table;
    }
    BrokerLog(std::string("Configuration value ") + kIdPermutationValueName + " ignored (" +
              problem + "); the built-in table is used.");
    return kDefaultIdPermutation;
}

std::uint32_t TransformId(std::int32_t identity, const TIdPermutation& table) {
    const auto bits = static_cast<std::uint32_t>(identity);
    std::uint32_t response = 0;
    for (std::size_t i = 0; i < table.size(); ++i)
        if ((bits & (1u << i)) != 0 && table[i] >= 0 && table[i] <= kHighestBitPosition)
            response |= 1u << static_cast<unsigned>(table[i]);
    return response;
}

std::uint32_t TransformId(std::int32_t identity) {
    return TransformId(identity, IdPermutation());
}
