// .lzma streams (13-byte header, end-of-stream marker; xz, lzcat and xzcat read them) made by
// LZMA at its strongest preset (9, extreme) with the longest match length, and settings given.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace support {

struct LzmaSettings
{
    std::uint32_t literal_context_bits;  // lc
    std::uint32_t literal_position_bits; // lp, at most 4 together with lc
    std::uint32_t position_bits;         // pb
    std::uint32_t dictionary_size;       // bytes

    friend bool operator==(const LzmaSettings&, const LzmaSettings&) = default;
};

// The whole stream of the data. Throws std::runtime_error when liblzma refuses the settings or fails.
std::vector<std::uint8_t> compress_lzma(std::span<const std::uint8_t> data, const LzmaSettings& settings);

} // namespace support
