// Reading 64-bit little-endian x86-64 executables through <elf.h>'s records: the file header and
// the program headers, checked against the file's bounds the way the kernel and the loader rely on.
#pragma once

#include <elf.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

namespace executable_packer::elf {

// A file that is not a well-formed executable, with the reason in one line.
class Malformed : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// A record of <elf.h> (the file is little-endian like the machine) at a byte offset of the file;
// the caller has checked the bounds.
template <class Record>
Record load(std::span<const std::uint8_t> file, std::size_t at)
{
    static_assert(std::is_trivially_copyable_v<Record>);
    Record record;
    std::memcpy(&record, file.data() + at, sizeof record);
    return record;
}

template <class Record>
void store(std::span<std::uint8_t> file, std::size_t at, const Record& record)
{
    static_assert(std::is_trivially_copyable_v<Record>);
    std::memcpy(file.data() + at, &record, sizeof record);
}

struct Image
{
    Elf64_Ehdr header{};
    std::vector<Elf64_Phdr> segments; // in the order of the program header table
    // One past the last byte of the file that the header, the program headers or any segment
    // covers: everything after it is never read by the kernel or the loader.
    std::uint64_t used_end = 0;

    // Where the program header of segments[index] lies in the file.
    std::uint64_t program_header_at(std::size_t index) const { return header.e_phoff + index * sizeof(Elf64_Phdr); }

    // The file offset of the size bytes at address, when one loadable segment holds all of them
    // among its file bytes.
    std::optional<std::uint64_t> file_offset_of(std::uint64_t address, std::uint64_t size) const;
};

// Parses and checks the file; throws Malformed naming the first fault.
Image read(std::span<const std::uint8_t> file);

// A section of the section header table, with its name.
struct Section
{
    std::string name;
    Elf64_Shdr header{};
};

// The file's sections, none when it has no section header table; throws Malformed for a table
// or names that lie outside the file.
std::vector<Section> read_sections(std::span<const std::uint8_t> file);

// A symbol of the symbol table (.symtab) with its name as the file writes it.
struct Symbol
{
    std::string name;
    Elf64_Sym entry{};
};

// The symbols of the file's symbol table, none when it has none; throws Malformed for a table or
// names that lie outside the file.
std::vector<Symbol> read_symbols(std::span<const std::uint8_t> file, const std::vector<Section>& sections);

} // namespace executable_packer::elf
