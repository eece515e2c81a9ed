// The self-unpacking executable: a small loader stub followed by the program compressed as a
// .lzma stream, which the stub feeds to xzcat into a memory file and executes.
#pragma once

#include "lzma_compression.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

namespace packing {

// Input that cannot be packed, a result over the size limit, or a written file that readelf
// does not accept, with the reason.
class PackingError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The payload's LZMA dictionary: larger than any program that fits the limit, and small enough
// that an encoder is quick to set up again for each of the shader packer's measurements.
inline constexpr std::uint32_t payload_dictionary_size = 1 << 16;

// The settings that compress_payload picks for the program as it is: no literal context,
// literal position or position bits. The shader packer tunes its one-letter names with
// exactly this compression, so that they are chosen against what the packed file carries; the
// packed file's tests check that this is still what it carries.
inline constexpr support::LzmaSettings program_payload_settings{0, 0, 0, payload_dictionary_size};

// The payload: the program as a .lzma stream (support::LzmaEncoder) with the payload dictionary,
// trying every literal-context, literal-position and position-bits setting and keeping the
// smallest result.
std::vector<std::uint8_t> compress_payload(std::span<const std::uint8_t> program);

// Appends the payload to the stub. The stub must be an executable whose segments end exactly
// at its own end (that is where it reads the payload from), the payload a .lzma stream, and the
// result no larger than size_limit bytes; otherwise throws PackingError or elf::Malformed.
std::vector<std::uint8_t> pack_executable(std::span<const std::uint8_t> stub, std::span<const std::uint8_t> payload,
                                          std::size_t size_limit);

} // namespace packing
