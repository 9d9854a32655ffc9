#pragma once

// The server's error numbers 1 to 221 with their English and Farsi texts (UTF-8).

#include <array>
#include <cstdint>

struct TServerErrorText {
    const char* English;
    const char* Farsi;
};

inline constexpr int kServerErrorCount = 221;

// Entry i holds the texts of server error number i + 1.
extern const std::array<TServerErrorText, kServerErrorCount> ServerErrorMessages;
