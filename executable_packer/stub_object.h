// An assembled stub as the assembler leaves it: the bytes of its one section, and the symbols
// that mark the places the packing step fills in.
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace executable_packer {

struct StubObject
{
    std::vector<std::uint8_t> text;               // the .text section: the whole stub file
    std::map<std::string, std::uint64_t> symbols; // offsets into text; absolute symbols' values

    // The symbol's value; throws elf::Malformed naming it when the object has none such.
    std::uint64_t symbol(const std::string& name) const;
};

// Reads a 64-bit relocatable object file (the assembler's output) through <elf.h>'s records;
// throws elf::Malformed when it is not one, has no .text, or has relocations against .text,
// which nothing would apply.
StubObject read_stub_object(std::span<const std::uint8_t> object);

} // namespace executable_packer
