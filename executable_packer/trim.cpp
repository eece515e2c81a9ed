// The post-link step (see trim.h).
#include "trim.h"

#include "elf_image.h"

#include <algorithm>

namespace executable_packer {

namespace {

using Bytes = std::vector<std::uint8_t>;

// The file bytes of the GNU hash table at address when none of its buckets lists a symbol. Such a
// table finds nothing, and the loader skips the lookup in an object without a hash table just the
// same. The table: bucket count, first hashed symbol, bloom filter words, bloom shift, the filter's
// 8-byte words, the 4-byte buckets, then one chain word per hashed symbol (none here).
std::optional<std::span<std::uint8_t>> empty_gnu_hash_table(Bytes& file, const elf::Image& image, std::uint64_t address)
{
    std::optional<std::uint64_t> at = image.file_offset_of(address, 4 * sizeof(std::uint32_t));
    if (!at)
        return std::nullopt;
    std::uint64_t buckets = elf::load<std::uint32_t>(file, *at), bloom_words = elf::load<std::uint32_t>(file, *at + 8);
    std::uint64_t buckets_at = 16 + 8 * bloom_words, size = buckets_at + 4 * buckets;
    if (!image.file_offset_of(address, size))
        return std::nullopt;
    for (std::uint64_t bucket = 0; bucket < buckets; ++bucket)
        if (elf::load<std::uint32_t>(file, *at + buckets_at + 4 * bucket) != 0)
            return std::nullopt;
    return std::span(file).subspan(*at, size);
}

// Moves every entry the loader reads up over the dropped ones, ends the section at the first
// DT_NULL and zeroes what it no longer covers, and zeroes an empty hash table it drops.
void drop_unread_dynamic_entries(Bytes& file, const elf::Image& image, std::size_t index)
{
    Elf64_Phdr dynamic = image.segments[index];
    auto entry_at = [&](std::size_t entry) { return dynamic.p_offset + entry * sizeof(Elf64_Dyn); };
    std::size_t kept = 0, end = dynamic.p_filesz / sizeof(Elf64_Dyn);
    for (std::size_t entry = 0; entry < end; ++entry)
    {
        Elf64_Dyn read = elf::load<Elf64_Dyn>(file, entry_at(entry));
        if (read.d_tag == DT_DEBUG || read.d_tag == DT_SYMENT)
            continue;
        if (read.d_tag == DT_GNU_HASH)
            if (std::optional<std::span<std::uint8_t>> table = empty_gnu_hash_table(file, image, read.d_un.d_ptr))
            {
                std::fill(table->begin(), table->end(), 0);
                continue;
            }
        elf::store(file, entry_at(kept++), read);
        if (read.d_tag == DT_NULL)
            break;
    }
    if (kept == 0 || elf::load<Elf64_Dyn>(file, entry_at(kept - 1)).d_tag != DT_NULL)
        throw elf::Malformed("dynamic section has no DT_NULL entry");
    std::fill(file.begin() + entry_at(kept), file.begin() + dynamic.p_offset + dynamic.p_filesz, 0);
    dynamic.p_filesz = dynamic.p_memsz = kept * sizeof(Elf64_Dyn);
    elf::store(file, image.program_header_at(index), dynamic);
}

// Shrinks the file size of the loadable segment that ends the file past its trailing zeros, down
// to the end of the program headers and of every other segment at most.
void leave_trailing_zeros_to_memory(Bytes& file, const elf::Image& image)
{
    std::uint64_t floor = image.program_header_at(image.segments.size());
    std::size_t last = image.segments.size();
    for (std::size_t index = 0; index < image.segments.size(); ++index)
    {
        const Elf64_Phdr& segment = image.segments[index];
        if (segment.p_type == PT_LOAD && segment.p_offset + segment.p_filesz == file.size())
            last = index;
        else
            floor = std::max(floor, segment.p_offset + segment.p_filesz);
    }
    if (last == image.segments.size())
        return;
    std::uint64_t end = file.size();
    while (end > floor && file[end - 1] == 0)
        --end;
    Elf64_Phdr segment = image.segments[last];
    segment.p_filesz = end - segment.p_offset;
    elf::store(file, image.program_header_at(last), segment);
    file.resize(end);
}

// Gives each undefined dynamic symbol of no type the function type. The loader reads neither: it
// binds a reference by its relocation and the definition it finds. The link leaves the imports
// it does not resolve typeless beside the functions it resolves (see host/CMakeLists.txt), and
// symbols all of one type pack smaller.
void type_imports_as_functions(Bytes& file, std::span<const std::uint8_t> linked)
{
    for (const elf::Section& section : elf::read_sections(linked))
    {
        std::uint64_t start = section.header.sh_offset, end = start + section.header.sh_size;
        if (section.header.sh_type != SHT_DYNSYM || end > file.size())
            continue;
        for (std::uint64_t at = start + sizeof(Elf64_Sym); at + sizeof(Elf64_Sym) <= end; at += sizeof(Elf64_Sym))
        {
            Elf64_Sym symbol = elf::load<Elf64_Sym>(file, at);
            if (symbol.st_shndx == SHN_UNDEF && ELF64_ST_TYPE(symbol.st_info) == STT_NOTYPE)
            {
                symbol.st_info = ELF64_ST_INFO(ELF64_ST_BIND(symbol.st_info), STT_FUNC);
                elf::store(file, at, symbol);
            }
        }
    }
}

} // namespace

std::vector<std::uint8_t> trim_executable(std::span<const std::uint8_t> linked)
{
    elf::Image image = elf::read(linked);
    Bytes trimmed(linked.begin(), linked.begin() + image.used_end);
    Elf64_Ehdr header = image.header;
    header.e_shoff = 0;
    header.e_shentsize = header.e_shnum = header.e_shstrndx = 0;
    elf::store(trimmed, 0, header);
    for (std::size_t index = 0; index < image.segments.size(); ++index)
        if (image.segments[index].p_type == PT_DYNAMIC)
            drop_unread_dynamic_entries(trimmed, image, index);
    type_imports_as_functions(trimmed, linked);
    leave_trailing_zeros_to_memory(trimmed, elf::read(trimmed));

    elf::Image check = elf::read(trimmed);
    if (check.header.e_entry != image.header.e_entry || check.segments.size() != image.segments.size() ||
        check.header.e_shnum != 0 || check.header.e_shoff != 0)
        throw elf::Malformed("trimmed executable does not read back as the linked one");
    return trimmed;
}

} // namespace executable_packer
