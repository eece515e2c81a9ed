// The self-unpacking executable: a small loader stub followed by the program compressed as a
// raw LZMA (.lzma) stream, which the stub feeds to xzcat into a memory file and executes.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <vector>

// Input that cannot be packed, or a result over the size limit, with the reason in one line.
class PackError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Compresses into a .lzma stream (13-byte header, end-of-stream marker) at the strongest preset,
// trying every literal-context, literal-position and position-bits setting and keeping the
// smallest result. Any xz, lzcat or xzcat decompresses it.
std::vector<std::uint8_t> compress_lzma(std::span<const std::uint8_t> data);

// Appends the payload to the stub. The stub must be an executable whose segments end exactly
// at its own end (that is where it reads the payload from), the payload a .lzma stream, and the
// result no larger than size_limit bytes; otherwise throws PackError or elf::Malformed.
std::vector<std::uint8_t> pack_executable(std::span<const std::uint8_t> stub, std::span<const std::uint8_t> payload,
                                          std::size_t size_limit);
