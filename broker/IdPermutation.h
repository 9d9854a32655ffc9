#pragma once

// The bit permutation that turns the broker's identity number into the response its reload
// query carries. The broker checks the response with the same table, so the table is the
// installation's: it is read from the configuration value "IdPermutation" (31 comma-separated
// bit positions) when that value is present and valid, otherwise the built-in default is used.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The bits of the identity number that the permutation moves: bit 31 is not one of them.
inline constexpr std::size_t kIdentityBits = 31;
inline constexpr int kHighestBitPosition = static_cast<int>(kIdentityBits) - 1;

using TIdPermutation = std::array<int, kIdentityBits>;

// The built-in table: position i goes to (7 * i + 3) mod 31.
extern const TIdPermutation kDefaultIdPermutation;

// The name of the configuration value holding the table.
inline constexpr const char* kIdPermutationValueName = "IdPermutation";

// Reads "p0,p1,...,p30": exactly 31 decimal positions (blanks around them allowed) that form a
// permutation of 0 to 30 other than the identity. Nothing when the text is anything else;
// `problem` (when given) then says why.
std::optional<TIdPermutation> ParseIdPermutation(std::string_view text,
                                                 std::string* problem = nullptr);

// The table as "p0,p1,...,p30".
std::string FormatIdPermutation(const TIdPermutation& table);

// The table in force: the configured value of the current configuration store when present
// and valid, else the default. A value that is present but not valid is ignored with a log line.
TIdPermutation IdPermutation();

// Bit i (0 to 30) of the identity number set gives bit table[i] of the response; bit 31 of
// the identity number is ignored, so the response lies between 0 and 2147483647.
std::uint32_t TransformId(std::int32_t identity, const TIdPermutation& table);
std::uint32_t TransformId(std::int32_t identity);
