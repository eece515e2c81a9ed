// Reading 64-bit little-endian x86-64 executables: the file header and the program headers,
// checked against the file's bounds the way the kernel and the dynamic loader rely on them.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace elf {

// A file that is not a well-formed executable, with the reason in one line.
class Malformed : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

inline constexpr std::uint32_t pt_load = 1;
inline constexpr std::uint32_t pt_dynamic = 2;
inline constexpr std::uint32_t pt_interp = 3;
inline constexpr std::uint32_t pt_phdr = 6;
inline constexpr std::uint32_t pf_x = 1;
inline constexpr std::size_t program_header_size = 56;
// Offsets of the fields that the build's steps rewrite in a program header.
inline constexpr std::size_t p_filesz_at = 32;
inline constexpr std::size_t p_memsz_at = 40;
// Dynamic section entries: a signed 64-bit tag and a 64-bit value.
inline constexpr std::size_t dynamic_entry_size = 16;
inline constexpr std::int64_t dt_null = 0;
inline constexpr std::int64_t dt_syment = 11;
inline constexpr std::int64_t dt_debug = 21;

// Offsets of the section header fields in the file header.
inline constexpr std::size_t e_shoff_at = 40;
inline constexpr std::size_t e_shentsize_at = 58;
inline constexpr std::size_t e_shnum_at = 60;
inline constexpr std::size_t e_shstrndx_at = 62;

// A little-endian field of the file, by byte offset; the caller has checked the bounds.
template <class Value>
Value load(std::span<const std::uint8_t> file, std::size_t at)
{
    Value value;
    std::memcpy(&value, file.data() + at, sizeof value);
    return value;
}

template <class Value>
void store(std::span<std::uint8_t> file, std::size_t at, Value value)
{
    std::memcpy(file.data() + at, &value, sizeof value);
}

struct Segment
{
    std::uint32_t type = 0;
    std::uint32_t flags = 0;
    std::uint64_t offset = 0;
    std::uint64_t address = 0;
    std::uint64_t file_size = 0;
    std::uint64_t memory_size = 0;
};

struct Image
{
    std::uint64_t entry = 0;
    std::uint64_t section_headers_offset = 0;
    std::uint16_t section_header_count = 0;
    std::uint64_t program_headers_offset = 0;
    std::vector<Segment> segments; // in the order of the program header table
    // One past the last byte of the file that the header, the program headers or any segment
    // covers: everything after it is never read by the kernel or the loader.
    std::uint64_t used_end = 0;
};

// Parses and checks the file; throws Malformed naming the first fault.
Image read(std::span<const std::uint8_t> file);

} // namespace elf
