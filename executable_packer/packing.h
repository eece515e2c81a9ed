// The self-unpacking executable, packed two ways: a small stub that feeds a .lzma stream to
// xzcat, or the decoding stub with the program in the context-mixing coder's stream. The
// packing step makes both and ships the smaller.
#pragma once

#include "context_mixing.h"
#include "lzma_compression.h"
#include "stub_object.h"

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace executable_packer {

// Input that cannot be packed, a result over the size limit, or a written file that readelf
// does not accept, with the reason.
class PackingError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// The payload's LZMA dictionary: larger than any program that fits the limit, and small enough
// that the encoder is quick to set up for each of the settings compress_payload tries.
inline constexpr std::uint32_t payload_dictionary_size = 1 << 16;

// A packed file and how it divides: the stub first, then what the stub unpacks from.
struct PackedFile
{
    std::string way;
    std::vector<std::uint8_t> bytes;
    std::size_t stub_size = 0;

    std::size_t payload_size() const { return bytes.size() - stub_size; }
};

// The payload: the program as a .lzma stream (support::compress_lzma) with the payload dictionary,
// trying every literal-context, literal-position and position-bits setting and keeping the
// smallest result.
std::vector<std::uint8_t> compress_payload(std::span<const std::uint8_t> program);

// The xzcat stub followed by the program's .lzma payload. The stub must be an executable whose
// segments end exactly at its own end, where it reads the payload from; otherwise throws
// PackingError or elf::Malformed.
PackedFile pack_with_xzcat(std::span<const std::uint8_t> stub, std::span<const std::uint8_t> program);

// The decoding stub with its marked places filled in for the program, followed by the
// program's stream and the models' contexts, in one page at most. Throws PackingError when the
// program, the models or the result do not fit what the stub can hold, elf::Malformed for a
// stub that is not one.
PackedFile pack_with_decoder(const StubObject& stub, std::span<const std::uint8_t> program,
                             const coder::ModelSet& models);

// The smaller of the two (a on a tie); throws PackingError naming both sizes when it is over
// size_limit bytes.
const PackedFile& smaller_within(const PackedFile& a, const PackedFile& b, std::size_t size_limit);

} // namespace executable_packer
