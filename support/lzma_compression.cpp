// .lzma streams through liblzma's LZMA_Alone encoder (see lzma_compression.h).
#include "lzma_compression.h"

#include <lzma.h>

#include <stdexcept>

namespace support {

namespace {

constexpr std::size_t header_size = 13;
// lc, lp and pb share the header's first byte as (pb * 5 + lp) * 9 + lc.
constexpr std::uint8_t largest_properties_byte = (4 * 5 + 4) * 9 + 8;

} // namespace

struct LzmaEncoder::State
{
    lzma_options_lzma options{};
    lzma_stream stream = LZMA_STREAM_INIT;
    std::vector<std::uint8_t> out;
};

LzmaEncoder::LzmaEncoder(const LzmaSettings& settings) : state_(std::make_unique<State>())
{
    lzma_lzma_preset(&state_->options, 9 | LZMA_PRESET_EXTREME);
    state_->options.lc = settings.literal_context_bits;
    state_->options.lp = settings.literal_position_bits;
    state_->options.pb = settings.position_bits;
    state_->options.nice_len = 273;
    state_->options.dict_size = settings.dictionary_size;
}

LzmaEncoder::~LzmaEncoder()
{
    lzma_end(&state_->stream);
}

std::span<const std::uint8_t> LzmaEncoder::compress(std::span<const std::uint8_t> data)
{
    lzma_stream& stream = state_->stream;
    if (lzma_alone_encoder(&stream, &state_->options) != LZMA_OK)
        throw std::runtime_error("the LZMA encoder refused its settings");
    state_->out.resize(header_size + data.size() + data.size() / 2 + 1024);
    stream.next_in = data.data();
    stream.avail_in = data.size();
    stream.next_out = state_->out.data();
    stream.avail_out = state_->out.size();
    if (lzma_code(&stream, LZMA_FINISH) != LZMA_STREAM_END)
        throw std::runtime_error("LZMA compression failed");
    return {state_->out.data(), state_->out.size() - stream.avail_out};
}

std::vector<std::uint8_t> compress_lzma(std::span<const std::uint8_t> data, const LzmaSettings& settings)
{
    LzmaEncoder encoder(settings);
    std::span<const std::uint8_t> stream = encoder.compress(data);
    return {stream.begin(), stream.end()};
}

LzmaSettings settings_of_lzma_stream(std::span<const std::uint8_t> stream)
{
    if (stream.size() <= header_size || stream[0] > largest_properties_byte)
        throw std::runtime_error("not a .lzma stream");
    LzmaSettings settings{};
    settings.literal_context_bits = stream[0] % 9;
    settings.literal_position_bits = stream[0] / 9 % 5;
    settings.position_bits = stream[0] / 45;
    settings.dictionary_size = std::uint32_t(stream[1]) | std::uint32_t(stream[2]) << 8 |
                               std::uint32_t(stream[3]) << 16 | std::uint32_t(stream[4]) << 24;
    return settings;
}

} // namespace support
