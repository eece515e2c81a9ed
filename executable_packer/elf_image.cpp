// Reading and checking 64-bit x86-64 executables (see elf_image.h).
#include "elf_image.h"

#include <algorithm>
#include <string>

namespace executable_packer::elf {

namespace {

// True when [offset, offset + size) lies within a file of file_size bytes, without overflow.
bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t file_size)
{
    return offset <= file_size && size <= file_size - offset;
}

bool in_file_range(const Elf64_Phdr& load_segment, std::uint64_t offset, std::uint64_t size)
{
    return offset >= load_segment.p_offset && fits(offset - load_segment.p_offset, size, load_segment.p_filesz);
}

bool maps(const Elf64_Phdr& load_segment, std::uint64_t address)
{
    return address >= load_segment.p_vaddr && address - load_segment.p_vaddr < load_segment.p_memsz;
}

void check_header(std::span<const std::uint8_t> file)
{
    if (file.size() < sizeof(Elf64_Ehdr))
        throw Malformed("file is " + std::to_string(file.size()) + " bytes, shorter than an ELF header");
    const Elf64_Ehdr header = load<Elf64_Ehdr>(file, 0);
    if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        throw Malformed("not an ELF file (bad magic)");
    if (header.e_ident[EI_CLASS] != ELFCLASS64 || header.e_ident[EI_DATA] != ELFDATA2LSB ||
        header.e_ident[EI_VERSION] != EV_CURRENT)
        throw Malformed("not a 64-bit little-endian ELF file of version 1");
    if (header.e_type != ET_EXEC && header.e_type != ET_DYN)
        throw Malformed("ELF file is neither an executable nor a position-independent one");
    if (header.e_machine != EM_X86_64)
        throw Malformed("ELF file is not for x86-64");
    if (header.e_phentsize != sizeof(Elf64_Phdr))
        throw Malformed("program header entries are not 56 bytes");
}

void check_segments(const Image& image, std::span<const std::uint8_t> file, std::uint64_t program_headers_end)
{
    std::vector<const Elf64_Phdr*> loads;
    for (const Elf64_Phdr& segment : image.segments)
        if (segment.p_type == PT_LOAD)
            loads.push_back(&segment);
    if (loads.empty())
        throw Malformed("no loadable segment");
    for (const Elf64_Phdr* load_segment : loads)
        if (load_segment->p_filesz > load_segment->p_memsz)
            throw Malformed("a loadable segment holds more file bytes than memory");

    auto loaded_from_file = [&](std::uint64_t offset, std::uint64_t size) {
        return std::any_of(loads.begin(), loads.end(),
                           [&](const Elf64_Phdr* s) { return in_file_range(*s, offset, size); });
    };
    if (!std::any_of(loads.begin(), loads.end(),
                     [&](const Elf64_Phdr* s) { return maps(*s, image.header.e_entry) && (s->p_flags & PF_X); }))
        throw Malformed("entry point lies in no executable loadable segment");

    for (const Elf64_Phdr& segment : image.segments)
    {
        if (segment.p_type == PT_INTERP)
        {
            if (segment.p_filesz == 0 || file[segment.p_offset + segment.p_filesz - 1] != 0)
                throw Malformed("interpreter path is not NUL-terminated");
            if (!loaded_from_file(segment.p_offset, segment.p_filesz))
                throw Malformed("interpreter path lies outside the loaded segments");
        }
        if (segment.p_type == PT_DYNAMIC && !loaded_from_file(segment.p_offset, segment.p_filesz))
            throw Malformed("dynamic section lies outside the loaded segments");
        if (segment.p_type == PT_PHDR && !loaded_from_file(segment.p_offset, program_headers_end - segment.p_offset))
            throw Malformed("program header table lies outside the loaded segments");
    }
}

} // namespace

std::optional<std::uint64_t> Image::file_offset_of(std::uint64_t address, std::uint64_t size) const
{
    for (const Elf64_Phdr& segment : segments)
        if (segment.p_type == PT_LOAD && address >= segment.p_vaddr &&
            fits(address - segment.p_vaddr, size, segment.p_filesz))
            return segment.p_offset + (address - segment.p_vaddr);
    return std::nullopt;
}

Image read(std::span<const std::uint8_t> file)
{
    check_header(file);
    Image image;
    image.header = load<Elf64_Ehdr>(file, 0);
    if (image.header.e_phnum == 0)
        throw Malformed("no program headers");
    std::uint64_t table_size = std::uint64_t{image.header.e_phnum} * sizeof(Elf64_Phdr);
    // The table may lie over the file header's last fields, as the decoding stub's does: the
    // kernel reads both as they are.
    if (!fits(image.header.e_phoff, table_size, file.size()))
        throw Malformed("program header table lies outside the file");

    image.used_end = image.header.e_phoff + table_size;
    for (std::size_t i = 0; i < image.header.e_phnum; ++i)
    {
        Elf64_Phdr segment = load<Elf64_Phdr>(file, image.program_header_at(i));
        if (!fits(segment.p_offset, segment.p_filesz, file.size()))
            throw Malformed("segment " + std::to_string(i) + " reaches past the end of the file");
        image.used_end = std::max(image.used_end, segment.p_offset + segment.p_filesz);
        image.segments.push_back(segment);
    }
    check_segments(image, file, image.header.e_phoff + table_size);
    return image;
}

namespace {

// The NUL-terminated name at offset within the string table section.
std::string name_in(std::span<const std::uint8_t> file, const Elf64_Shdr& strings, std::uint64_t offset)
{
    if (strings.sh_type == SHT_NOBITS || offset >= strings.sh_size)
        throw Malformed("a name lies outside its string table");
    auto start = file.begin() + static_cast<std::ptrdiff_t>(strings.sh_offset + offset);
    auto end = std::find(start, file.begin() + static_cast<std::ptrdiff_t>(strings.sh_offset + strings.sh_size), 0);
    return {start, end};
}

void check_in_file(std::span<const std::uint8_t> file, const Elf64_Shdr& section)
{
    if (section.sh_type != SHT_NOBITS && !fits(section.sh_offset, section.sh_size, file.size()))
        throw Malformed("a section lies outside the file");
}

} // namespace

std::vector<Section> read_sections(std::span<const std::uint8_t> file)
{
    check_header(file);
    Elf64_Ehdr header = load<Elf64_Ehdr>(file, 0);
    if (header.e_shoff == 0 || header.e_shnum == 0)
        return {};
    if (header.e_shentsize != sizeof(Elf64_Shdr) ||
        !fits(header.e_shoff, std::uint64_t{header.e_shnum} * sizeof(Elf64_Shdr), file.size()) ||
        header.e_shstrndx >= header.e_shnum)
        throw Malformed("the section header table lies outside the file");
    std::vector<Section> sections(header.e_shnum);
    for (std::size_t i = 0; i < sections.size(); ++i)
    {
        sections[i].header = load<Elf64_Shdr>(file, header.e_shoff + i * sizeof(Elf64_Shdr));
        check_in_file(file, sections[i].header);
    }
    for (Section& section : sections)
        section.name = name_in(file, sections[header.e_shstrndx].header, section.header.sh_name);
    return sections;
}

std::vector<Symbol> read_symbols(std::span<const std::uint8_t> file, const std::vector<Section>& sections)
{
    std::vector<Symbol> symbols;
    for (const Section& table : sections)
    {
        if (table.header.sh_type != SHT_SYMTAB)
            continue;
        if (table.header.sh_link >= sections.size())
            throw Malformed("the symbol table's names lie in no section");
        for (std::uint64_t at = 0; at + sizeof(Elf64_Sym) <= table.header.sh_size; at += sizeof(Elf64_Sym))
        {
            Elf64_Sym entry = load<Elf64_Sym>(file, table.header.sh_offset + at);
            symbols.push_back({name_in(file, sections[table.header.sh_link].header, entry.st_name), entry});
        }
    }
    return symbols;
}

} // namespace executable_packer::elf
