// The post-link step (see trim.h).
#include "trim.h"

#include "elf_image.h"

#include <algorithm>
#include <cstring>

namespace {

using Bytes = std::vector<std::uint8_t>;

std::size_t program_header_at(const elf::Image& image, std::size_t index)
{
    return image.program_headers_offset + index * elf::program_header_size;
}

// Moves every entry the loader reads up over the dropped ones, ends the section at the first
// DT_NULL and zeroes what it no longer covers.
void drop_unread_dynamic_entries(Bytes& file, const elf::Image& image, std::size_t index)
{
    const elf::Segment& dynamic = image.segments[index];
    std::size_t kept = 0, end = dynamic.file_size / elf::dynamic_entry_size;
    for (std::size_t entry = 0; entry < end; ++entry)
    {
        std::size_t at = dynamic.offset + entry * elf::dynamic_entry_size;
        std::int64_t tag = elf::load<std::int64_t>(file, at);
        if (tag == elf::dt_debug || tag == elf::dt_syment)
            continue;
        std::memmove(&file[dynamic.offset + kept * elf::dynamic_entry_size], &file[at], elf::dynamic_entry_size);
        ++kept;
        if (tag == elf::dt_null)
            break;
    }
    if (kept == 0 ||
        elf::load<std::int64_t>(file, dynamic.offset + (kept - 1) * elf::dynamic_entry_size) != elf::dt_null)
        throw elf::Malformed("dynamic section has no DT_NULL entry");
    std::uint64_t size = kept * elf::dynamic_entry_size;
    std::fill(file.begin() + dynamic.offset + size, file.begin() + dynamic.offset + dynamic.file_size, 0);
    elf::store<std::uint64_t>(file, program_header_at(image, index) + elf::p_filesz_at, size);
    elf::store<std::uint64_t>(file, program_header_at(image, index) + elf::p_memsz_at, size);
}

// Shrinks the file size of the loadable segment that ends the file past its trailing zeros, down
// to the end of the program headers and of every other segment at most.
void leave_trailing_zeros_to_memory(Bytes& file, const elf::Image& image)
{
    std::uint64_t floor = program_header_at(image, image.segments.size());
    std::size_t last = image.segments.size();
    for (std::size_t index = 0; index < image.segments.size(); ++index)
    {
        const elf::Segment& segment = image.segments[index];
        if (segment.type == elf::pt_load && segment.offset + segment.file_size == file.size())
            last = index;
        else
            floor = std::max(floor, segment.offset + segment.file_size);
    }
    if (last == image.segments.size())
        return;
    std::uint64_t end = file.size();
    while (end > floor && file[end - 1] == 0)
        --end;
    const elf::Segment& segment = image.segments[last];
    elf::store<std::uint64_t>(file, program_header_at(image, last) + elf::p_filesz_at, end - segment.offset);
    file.resize(end);
}

} // namespace

std::vector<std::uint8_t> trim_executable(std::span<const std::uint8_t> linked)
{
    elf::Image image = elf::read(linked);
    Bytes trimmed(linked.begin(), linked.begin() + image.used_end);
    std::memset(trimmed.data() + elf::e_shoff_at, 0, 8);
    std::memset(trimmed.data() + elf::e_shentsize_at, 0, 6);
    for (std::size_t index = 0; index < image.segments.size(); ++index)
        if (image.segments[index].type == elf::pt_dynamic)
            drop_unread_dynamic_entries(trimmed, image, index);
    leave_trailing_zeros_to_memory(trimmed, elf::read(trimmed));

    elf::Image check = elf::read(trimmed);
    if (check.entry != image.entry || check.segments.size() != image.segments.size() ||
        check.section_header_count != 0 || check.section_headers_offset != 0)
        throw elf::Malformed("trimmed executable does not read back as the linked one");
    return trimmed;
}
