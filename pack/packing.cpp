// The self-unpacking executable (see packing.h).
#include "packing.h"

#include "elf_image.h"

#include <string>

namespace packing {

std::vector<std::uint8_t> compress_payload(std::span<const std::uint8_t> program)
{
    std::vector<std::uint8_t> best;
    for (std::uint32_t lc = 0; lc <= 4; ++lc)
        for (std::uint32_t lp = 0; lc + lp <= 4; ++lp)
            for (std::uint32_t pb = 0; pb <= 4; ++pb)
            {
                std::vector<std::uint8_t> candidate =
                    support::compress_lzma(program, {lc, lp, pb, payload_dictionary_size});
                if (best.empty() || candidate.size() < best.size())
                    best = std::move(candidate);
            }
    return best;
}

std::vector<std::uint8_t> pack_executable(std::span<const std::uint8_t> stub, std::span<const std::uint8_t> payload,
                                          std::size_t size_limit)
{
    if (elf::read(stub).used_end != stub.size())
        throw PackingError("the stub's segments do not end at its end, where it reads the payload from");
    try
    {
        support::settings_of_lzma_stream(payload);
    }
    catch (const std::runtime_error&)
    {
        throw PackingError("the payload is not a .lzma stream");
    }
    std::size_t total = stub.size() + payload.size();
    if (total > size_limit)
        throw PackingError("packed executable would be " + std::to_string(total) + " bytes (stub " +
                           std::to_string(stub.size()) + " + payload " + std::to_string(payload.size()) +
                           "), over the limit of " + std::to_string(size_limit));
    std::vector<std::uint8_t> packed(stub.begin(), stub.end());
    packed.insert(packed.end(), payload.begin(), payload.end());
    return packed;
}

} // namespace packing
