// Reading an assembled stub (see stub_object.h).
#include "stub_object.h"

#include "elf_image.h"

#include <cstring>
#include <string_view>

namespace executable_packer {

namespace {

// The section headers, checked to lie within the file.
std::vector<Elf64_Shdr> section_headers(std::span<const std::uint8_t> object, const Elf64_Ehdr& header)
{
    if (header.e_shentsize != sizeof(Elf64_Shdr) || header.e_shoff > object.size() ||
        std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr) > object.size() - header.e_shoff)
        throw elf::Malformed("section header table lies outside the object");
    std::vector<Elf64_Shdr> sections;
    for (std::size_t i = 0; i < header.e_shnum; ++i)
    {
        Elf64_Shdr section = elf::load<Elf64_Shdr>(object, header.e_shoff + i * sizeof(Elf64_Shdr));
        bool has_bytes = section.sh_type != SHT_NOBITS;
        if (has_bytes && (section.sh_offset > object.size() || section.sh_size > object.size() - section.sh_offset))
            throw elf::Malformed("section " + std::to_string(i) + " reaches past the end of the object");
        sections.push_back(section);
    }
    return sections;
}

// The NUL-terminated name at offset in a string table section.
std::string name_at(std::span<const std::uint8_t> object, const Elf64_Shdr& strings, std::uint64_t offset)
{
    if (offset >= strings.sh_size)
        throw elf::Malformed("a name lies outside its string table");
    auto begin = reinterpret_cast<const char*>(object.data() + strings.sh_offset + offset);
    std::size_t length = strnlen(begin, strings.sh_size - offset);
    if (length == strings.sh_size - offset)
        throw elf::Malformed("a name in a string table has no end");
    return {begin, length};
}

} // namespace

std::uint64_t StubObject::symbol(const std::string& name) const
{
    auto found = symbols.find(name);
    if (found == symbols.end())
        throw elf::Malformed("the stub has no symbol " + name);
    return found->second;
}

StubObject read_stub_object(std::span<const std::uint8_t> object)
{
    if (object.size() < sizeof(Elf64_Ehdr))
        throw elf::Malformed("object is shorter than an ELF header");
    Elf64_Ehdr header = elf::load<Elf64_Ehdr>(object, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64 ||
        header.e_ident[EI_DATA] != ELFDATA2LSB || header.e_type != ET_REL || header.e_machine != EM_X86_64)
        throw elf::Malformed("not a 64-bit x86-64 relocatable object");
    std::vector<Elf64_Shdr> sections = section_headers(object, header);
    if (header.e_shstrndx >= sections.size())
        throw elf::Malformed("no section name table");

    StubObject stub;
    std::size_t text_index = 0;
    for (std::size_t i = 0; i < sections.size(); ++i)
    {
        std::string name = name_at(object, sections[header.e_shstrndx], sections[i].sh_name);
        if (name == ".text")
        {
            text_index = i;
            const std::uint8_t* bytes = object.data() + sections[i].sh_offset;
            stub.text.assign(bytes, bytes + sections[i].sh_size);
        }
        if (name == ".rela.text" || name == ".rel.text")
            throw elf::Malformed("the stub has relocations, which packing does not apply");
    }
    if (text_index == 0)
        throw elf::Malformed("the object has no .text section");

    for (const Elf64_Shdr& table : sections)
    {
        if (table.sh_type != SHT_SYMTAB)
            continue;
        if (table.sh_link >= sections.size() || table.sh_entsize != sizeof(Elf64_Sym))
            throw elf::Malformed("malformed symbol table");
        for (std::size_t i = 1; i < table.sh_size / sizeof(Elf64_Sym); ++i)
        {
            Elf64_Sym symbol = elf::load<Elf64_Sym>(object, table.sh_offset + i * sizeof(Elf64_Sym));
            if (symbol.st_shndx != text_index && symbol.st_shndx != SHN_ABS)
                continue;
            std::string name = name_at(object, sections[table.sh_link], symbol.st_name);
            if (!name.empty())
                stub.symbols[name] = symbol.st_value;
        }
    }
    return stub;
}

} // namespace executable_packer
