// .lzma streams through liblzma's LZMA_Alone encoder (see lzma_compression.h).
#include "lzma_compression.h"

#include <lzma.h>

#include <stdexcept>

namespace support {

std::vector<std::uint8_t> compress_lzma(std::span<const std::uint8_t> data, const LzmaSettings& settings)
{
    lzma_options_lzma options{};
    lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME);
    options.lc = settings.literal_context_bits;
    options.lp = settings.literal_position_bits;
    options.pb = settings.position_bits;
    options.nice_len = 273;
    options.dict_size = settings.dictionary_size;

    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&stream, &options) != LZMA_OK)
    {
        lzma_end(&stream);
        throw std::runtime_error("the LZMA encoder refused its settings");
    }
    // A 13-byte header, and room for data that does not compress.
    std::vector<std::uint8_t> out(13 + data.size() + data.size() / 2 + 1024);
    stream.next_in = data.data();
    stream.avail_in = data.size();
    stream.next_out = out.data();
    stream.avail_out = out.size();
    lzma_ret result = lzma_code(&stream, LZMA_FINISH);
    out.resize(out.size() - stream.avail_out);
    lzma_end(&stream);
    if (result != LZMA_STREAM_END)
        throw std::runtime_error("LZMA compression failed");
    return out;
}

} // namespace support
