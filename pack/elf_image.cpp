// Reading and checking 64-bit x86-64 executables (see elf_image.h).
#include "elf_image.h"

#include <algorithm>
#include <cstring>

namespace elf {
namespace {

constexpr std::size_t header_size = 64;
constexpr std::uint16_t et_exec = 2;
constexpr std::uint16_t et_dyn = 3;
constexpr std::uint16_t em_x86_64 = 62;

// True when [offset, offset + size) lies within a file of file_size bytes, without overflow.
bool fits(std::uint64_t offset, std::uint64_t size, std::uint64_t file_size)
{
    return offset <= file_size && size <= file_size - offset;
}

bool in_file_range(const Segment& load_segment, std::uint64_t offset, std::uint64_t size)
{
    return offset >= load_segment.offset && fits(offset - load_segment.offset, size, load_segment.file_size);
}

bool maps(const Segment& load_segment, std::uint64_t address)
{
    return address >= load_segment.address && address - load_segment.address < load_segment.memory_size;
}

void check_header(std::span<const std::uint8_t> file)
{
    if (file.size() < header_size)
        throw Malformed("file is " + std::to_string(file.size()) + " bytes, shorter than an ELF header");
    if (std::memcmp(file.data(), "\177ELF", 4) != 0)
        throw Malformed("not an ELF file (bad magic)");
    if (file[4] != 2 || file[5] != 1 || file[6] != 1)
        throw Malformed("not a 64-bit little-endian ELF file of version 1");
    std::uint16_t type = load<std::uint16_t>(file, 16);
    if (type != et_exec && type != et_dyn)
        throw Malformed("ELF file is neither an executable nor a position-independent one");
    if (load<std::uint16_t>(file, 18) != em_x86_64)
        throw Malformed("ELF file is not for x86-64");
    if (load<std::uint16_t>(file, 54) != program_header_size)
        throw Malformed("program header entries are not 56 bytes");
}

void check_segments(const Image& image, std::span<const std::uint8_t> file, std::uint64_t program_headers_end)
{
    std::vector<const Segment*> loads;
    for (const Segment& segment : image.segments)
        if (segment.type == pt_load)
            loads.push_back(&segment);
    if (loads.empty())
        throw Malformed("no loadable segment");
    for (const Segment* load_segment : loads)
        if (load_segment->file_size > load_segment->memory_size)
            throw Malformed("a loadable segment holds more file bytes than memory");

    auto loaded_from_file = [&](std::uint64_t offset, std::uint64_t size) {
        return std::any_of(loads.begin(), loads.end(),
                           [&](const Segment* s) { return in_file_range(*s, offset, size); });
    };
    if (!std::any_of(loads.begin(), loads.end(),
                     [&](const Segment* s) { return maps(*s, image.entry) && (s->flags & pf_x); }))
        throw Malformed("entry point lies in no executable loadable segment");

    for (const Segment& segment : image.segments)
    {
        if (segment.type == pt_interp)
        {
            if (segment.file_size == 0 || file[segment.offset + segment.file_size - 1] != 0)
                throw Malformed("interpreter path is not NUL-terminated");
            if (!loaded_from_file(segment.offset, segment.file_size))
                throw Malformed("interpreter path lies outside the loaded segments");
        }
        if (segment.type == pt_dynamic && !loaded_from_file(segment.offset, segment.file_size))
            throw Malformed("dynamic section lies outside the loaded segments");
        if (segment.type == pt_phdr && !loaded_from_file(segment.offset, program_headers_end - segment.offset))
            throw Malformed("program header table lies outside the loaded segments");
    }
}

} // namespace

Image read(std::span<const std::uint8_t> file)
{
    check_header(file);
    Image image;
    image.entry = load<std::uint64_t>(file, 24);
    std::uint64_t program_headers_offset = image.program_headers_offset = load<std::uint64_t>(file, 32);
    image.section_headers_offset = load<std::uint64_t>(file, e_shoff_at);
    image.section_header_count = load<std::uint16_t>(file, e_shnum_at);
    std::uint16_t count = load<std::uint16_t>(file, 56);
    if (count == 0)
        throw Malformed("no program headers");
    std::uint64_t table_size = std::uint64_t{count} * program_header_size;
    if (program_headers_offset < header_size || !fits(program_headers_offset, table_size, file.size()))
        throw Malformed("program header table lies outside the file");

    image.used_end = program_headers_offset + table_size;
    for (std::uint16_t i = 0; i < count; ++i)
    {
        std::size_t at = program_headers_offset + std::size_t{i} * program_header_size;
        Segment segment;
        segment.type = load<std::uint32_t>(file, at);
        segment.flags = load<std::uint32_t>(file, at + 4);
        segment.offset = load<std::uint64_t>(file, at + 8);
        segment.address = load<std::uint64_t>(file, at + 16);
        segment.file_size = load<std::uint64_t>(file, at + p_filesz_at);
        segment.memory_size = load<std::uint64_t>(file, at + p_memsz_at);
        if (!fits(segment.offset, segment.file_size, file.size()))
            throw Malformed("segment " + std::to_string(i) + " reaches past the end of the file");
        image.used_end = std::max(image.used_end, segment.offset + segment.file_size);
        image.segments.push_back(segment);
    }
    check_segments(image, file, program_headers_offset + table_size);
    return image;
}

} // namespace elf
