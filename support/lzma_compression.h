// .lzma streams (13-byte header, end-of-stream marker; xz, lzcat and xzcat read them) made by
// LZMA at its strongest preset (9, extreme) with the longest match length, and settings given.
#pragma once

#include <cstdint>
#include <memory>
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

// One encoder for many streams with the same settings: setting an encoder up costs more than
// compressing a few kilobytes, and it is set up once. Throws std::runtime_error when liblzma
// refuses the settings or fails.
class LzmaEncoder
{
public:
    explicit LzmaEncoder(const LzmaSettings& settings);
    LzmaEncoder(const LzmaEncoder&) = delete;
    LzmaEncoder& operator=(const LzmaEncoder&) = delete;
    ~LzmaEncoder();

    // The whole stream of the data; valid until the next call.
    std::span<const std::uint8_t> compress(std::span<const std::uint8_t> data);

private:
    struct State;
    std::unique_ptr<State> state_;
};

std::vector<std::uint8_t> compress_lzma(std::span<const std::uint8_t> data, const LzmaSettings& settings);

// The settings that a .lzma stream's header records; throws std::runtime_error for a stream too
// short to hold one or with impossible settings.
LzmaSettings settings_of_lzma_stream(std::span<const std::uint8_t> stream);

} // namespace support
