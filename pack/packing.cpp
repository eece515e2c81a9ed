// The self-unpacking executable (see packing.h).
#include "packing.h"

#include "elf_image.h"

#include <lzma.h>

#include <string>

namespace {

constexpr std::size_t lzma_header_size = 13;
// lc, lp and pb packed as the first header byte: (pb * 5 + lp) * 9 + lc.
constexpr std::uint8_t largest_properties_byte = (4 * 5 + 4) * 9 + 8;

std::vector<std::uint8_t> compress_with(std::span<const std::uint8_t> data, std::uint32_t lc, std::uint32_t lp,
                                        std::uint32_t pb)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME);
    options.lc = lc;
    options.lp = lp;
    options.pb = pb;
    options.nice_len = 273;

    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_alone_encoder(&stream, &options) != LZMA_OK)
        throw PackError("the LZMA encoder refused its settings");
    std::vector<std::uint8_t> out(lzma_header_size + data.size() + data.size() / 2 + 1024);
    stream.next_in = data.data();
    stream.avail_in = data.size();
    stream.next_out = out.data();
    stream.avail_out = out.size();
    lzma_ret result = lzma_code(&stream, LZMA_FINISH);
    out.resize(stream.total_out);
    lzma_end(&stream);
    if (result != LZMA_STREAM_END)
        throw PackError("LZMA compression failed");
    return out;
}

} // namespace

std::vector<std::uint8_t> compress_lzma(std::span<const std::uint8_t> data)
{
    std::vector<std::uint8_t> best;
    for (std::uint32_t lc = 0; lc <= 4; ++lc)
        for (std::uint32_t lp = 0; lc + lp <= 4; ++lp)
            for (std::uint32_t pb = 0; pb <= 4; ++pb)
            {
                std::vector<std::uint8_t> candidate = compress_with(data, lc, lp, pb);
                if (best.empty() || candidate.size() < best.size())
                    best = std::move(candidate);
            }
    return best;
}

std::vector<std::uint8_t> pack_executable(std::span<const std::uint8_t> stub, std::span<const std::uint8_t> payload,
                                          std::size_t size_limit)
{
    if (elf::read(stub).used_end != stub.size())
        throw PackError("the stub's segments do not end at its end, where it reads the payload from");
    if (payload.size() <= lzma_header_size || payload[0] > largest_properties_byte)
        throw PackError("the payload is not a .lzma stream");
    std::size_t total = stub.size() + payload.size();
    if (total > size_limit)
        throw PackError("packed executable would be " + std::to_string(total) + " bytes (stub " +
                        std::to_string(stub.size()) + " + payload " + std::to_string(payload.size()) +
                        "), over the limit of " + std::to_string(size_limit));
    std::vector<std::uint8_t> packed(stub.begin(), stub.end());
    packed.insert(packed.end(), payload.begin(), payload.end());
    return packed;
}
