// The post-link step (see trim.h).
#include "trim.h"

#include "elf_image.h"

#include <algorithm>
#include <cstring>

std::vector<std::uint8_t> trim_executable(std::span<const std::uint8_t> linked)
{
    elf::Image image = elf::read(linked);
    std::vector<std::uint8_t> trimmed(linked.begin(), linked.begin() + image.used_end);
    std::memset(trimmed.data() + elf::e_shoff_at, 0, 8);
    std::memset(trimmed.data() + elf::e_shentsize_at, 0, 6);

    elf::Image check = elf::read(trimmed);
    if (check.entry != image.entry || check.segments.size() != image.segments.size() ||
        check.section_header_count != 0 || check.section_headers_offset != 0)
        throw elf::Malformed("trimmed executable does not read back as the linked one");
    return trimmed;
}
