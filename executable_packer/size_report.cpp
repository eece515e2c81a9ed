// The size report's measuring (see size_report.h): the parts from the ELF headers, sections and
// symbols, the costs from one pass of the coder, and what the page and the picture share.
#include "size_report.h"

#include "elf_image.h"
#include "file_io.h"
#include "record_file.h"
#include "source_lines_record.h"

#include <cxxabi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <numeric>
#include <stdexcept>

namespace executable_packer::size_report {

namespace {

constexpr std::array<support::Colour, shade_count> shades = {{{222, 235, 247},
                                                              {158, 202, 225},
                                                              {199, 233, 192},
                                                              {255, 255, 178},
                                                              {254, 217, 118},
                                                              {254, 178, 76},
                                                              {253, 141, 60},
                                                              {240, 59, 32},
                                                              {165, 15, 21}}};

// A C++ name as it was written; other names as they are.
std::string demangled(const std::string& name)
{
    int status = 0;
    std::unique_ptr<char, decltype(&std::free)> text(abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status),
                                                     &std::free);
    return status == 0 && text ? std::string(text.get()) : name;
}

// The file bytes that hold [address, address + size) in the loadable segments.
std::vector<Range> file_ranges(const elf::Image& image, std::uint64_t address, std::uint64_t size)
{
    std::vector<Range> ranges;
    std::uint64_t last = size > ~address ? ~std::uint64_t{0} : address + size;
    for (const Elf64_Phdr& segment : image.segments)
    {
        if (segment.p_type != PT_LOAD)
            continue;
        std::uint64_t start = std::max(address, segment.p_vaddr),
                      end = std::min(last, segment.p_vaddr + segment.p_filesz);
        if (start < end)
            ranges.push_back({segment.p_offset + (start - segment.p_vaddr), end - start});
    }
    return ranges;
}

// The part a section's bytes belong to, before the symbols in it claim theirs.
std::string section_part(const elf::Section& section)
{
    switch (section.header.sh_type)
    {
    case SHT_DYNSYM:
        return "symbols";
    case SHT_REL:
    case SHT_RELA:
        return "relocations";
    case SHT_HASH:
    case SHT_GNU_HASH:
        return "hash table";
    case SHT_GNU_versym:
    case SHT_GNU_verdef:
    case SHT_GNU_verneed:
        return "version info";
    case SHT_DYNAMIC:
        return "dynamic section";
    case SHT_STRTAB:
        if (section.header.sh_flags & SHF_ALLOC)
            return "names";
        break;
    }
    return section.name == ".interp" ? "interpreter" : "other in " + section.name;
}

// Which part each byte of the program is in: every claim takes its bytes from whatever part
// claimed them before.
class PartMap
{
public:
    explicit PartMap(std::size_t size) : owner_(size, unclaimed) {}

    void claim(const std::string& name, Range range)
    {
        std::size_t start = std::min(range.offset, owner_.size()),
                    end = start + std::min(range.size, owner_.size() - start);
        std::fill(owner_.begin() + std::ptrdiff_t(start), owner_.begin() + std::ptrdiff_t(end), index_of(name));
    }

    // Each run of bytes that one part holds, in file order, with that part's name.
    std::vector<std::pair<std::string, Range>> runs() const
    {
        std::vector<std::pair<std::string, Range>> found;
        for (std::size_t start = 0, end = 0; start < owner_.size(); start = end)
        {
            while (end < owner_.size() && owner_[end] == owner_[start])
                ++end;
            found.push_back({owner_[start] == unclaimed ? "" : names_[owner_[start]], {start, end - start}});
        }
        return found;
    }

private:
    static constexpr std::size_t unclaimed = ~std::size_t{0};

    std::size_t index_of(const std::string& name)
    {
        auto found = std::find(names_.begin(), names_.end(), name);
        if (found != names_.end())
            return std::size_t(found - names_.begin());
        names_.push_back(name);
        return names_.size() - 1;
    }

    std::vector<std::string> names_;
    std::vector<std::size_t> owner_;
};

std::vector<ProgramPart> parts_of(const PartMap& map, const std::vector<double>& costs)
{
    std::vector<ProgramPart> parts;
    for (const auto& [name, range] : map.runs())
    {
        auto part = std::find_if(parts.begin(), parts.end(), [&](const ProgramPart& p) { return p.name == name; });
        if (part == parts.end())
            part = parts.insert(parts.end(), ProgramPart{name, {}, 0, 0});
        part->ranges.push_back(range);
        part->bytes += range.size;
        part->bits = std::accumulate(costs.begin() + std::ptrdiff_t(range.offset),
                                     costs.begin() + std::ptrdiff_t(range.offset + range.size), part->bits);
    }
    return parts;
}

// The parts of the program: its sections and the symbols in them where linked has them, then
// what its own headers say, and the rest padding between sections, or other without any.
std::vector<ProgramPart> find_parts(std::span<const std::uint8_t> program, std::span<const std::uint8_t> linked,
                                    const std::vector<double>& costs, const std::vector<ShaderSource>& shaders,
                                    std::map<std::string, Range>& texts)
{
    elf::Image image = elf::read(program);
    std::vector<elf::Section> sections = elf::read_sections(linked);
    bool same_file = std::ranges::equal(program, linked);
    PartMap map(program.size());
    std::map<std::string, std::uint64_t> alignments;
    for (const elf::Section& section : sections)
    {
        const Elf64_Shdr& header = section.header;
        if (header.sh_type == SHT_NULL || header.sh_type == SHT_NOBITS)
            continue;
        std::string name = section_part(section);
        alignments[name] = header.sh_addralign;
        if (header.sh_flags & SHF_ALLOC)
            for (Range range : file_ranges(image, header.sh_addr, header.sh_size))
                map.claim(name, range);
        else if (same_file)
            map.claim(name, {header.sh_offset, header.sh_size});
    }
    Elf64_Ehdr linked_header = elf::load<Elf64_Ehdr>(linked, 0);
    if (same_file && !sections.empty())
        map.claim("section headers", {linked_header.e_shoff, std::size_t{linked_header.e_shnum} * sizeof(Elf64_Shdr)});

    for (const elf::Symbol& symbol : elf::read_symbols(linked, sections))
    {
        int type = ELF64_ST_TYPE(symbol.entry.st_info);
        if (symbol.entry.st_size == 0 || symbol.entry.st_shndx == SHN_UNDEF || (type != STT_FUNC && type != STT_OBJECT))
            continue;
        std::string name = demangled(symbol.name);
        bool text = std::any_of(shaders.begin(), shaders.end(),
                                [&](const ShaderSource& shader) { return shader.text_name == name; });
        std::string part = (type == STT_FUNC ? "code: " : text ? "text: " : "data: ") + name;
        std::vector<Range> ranges = file_ranges(image, symbol.entry.st_value, symbol.entry.st_size);
        for (Range range : ranges)
            map.claim(part, range);
        if (text && ranges.size() == 1 && ranges[0].size == symbol.entry.st_size)
            texts[name] = ranges[0];
    }
    // What the symbols leave of a section between them is the linker's alignment where it is
    // zeros, fewer than the section aligns to.
    for (const auto& [name, range] : map.runs())
        if (name.starts_with("other in ") && range.size < alignments[name] &&
            std::all_of(program.begin() + std::ptrdiff_t(range.offset),
                        program.begin() + std::ptrdiff_t(range.offset + range.size),
                        [](std::uint8_t byte) { return byte == 0; }))
            map.claim("padding", range);

    for (const Elf64_Phdr& segment : image.segments)
        if (segment.p_type == PT_INTERP || segment.p_type == PT_DYNAMIC)
            map.claim(segment.p_type == PT_INTERP ? "interpreter" : "dynamic section",
                      {segment.p_offset, segment.p_filesz});
    map.claim("ELF header", {0, sizeof(Elf64_Ehdr)});
    map.claim("program headers", {image.header.e_phoff, image.segments.size() * sizeof(Elf64_Phdr)});
    for (const auto& [name, range] : map.runs())
        if (name.empty())
            map.claim(sections.empty() ? "other" : "padding", range);
    return parts_of(map, costs);
}

std::vector<ShaderCost> shader_costs(std::span<const std::uint8_t> program, const std::vector<double>& costs,
                                     const std::vector<ShaderSource>& shaders,
                                     const std::map<std::string, Range>& texts)
{
    std::vector<ShaderCost> found;
    for (const ShaderSource& shader : shaders)
    {
        auto text = texts.find(shader.text_name);
        if (text == texts.end())
            continue;
        auto [offset, size] = text->second;
        std::string_view characters(reinterpret_cast<const char*>(program.data()) + offset, size - 1);
        if (shader.lines.size() != size - 1 || program[offset + size - 1] != 0 ||
            support::fingerprint(characters) != shader.text_fingerprint)
            throw std::runtime_error(shader.text_name + ": its source lines were written for another text than the "
                                                        "program holds");
        std::size_t source_lines = std::ranges::count(shader.source, '\n') + !shader.source.ends_with('\n');
        ShaderCost cost{shader, offset, std::vector<double>(source_lines), 0};
        for (std::size_t i = 0; i < shader.lines.size(); ++i)
        {
            if (shader.lines[i] < 1 || std::size_t(shader.lines[i]) > cost.line_bits.size())
                throw std::runtime_error(shader.text_name + ": a character's line is not one of " + shader.source_name +
                                         "'s");
            cost.line_bits[std::size_t(shader.lines[i] - 1)] += costs[offset + i];
        }
        cost.end_bits = costs[offset + size - 1];
        found.push_back(std::move(cost));
    }
    return found;
}

} // namespace

ShaderSource read_shader_source(const std::filesystem::path& lines_record)
{
    support::SourceLinesRecord record;
    try
    {
        record = support::parse_source_lines_record(support::read_text(lines_record));
    }
    catch (const support::LineError& error)
    {
        throw std::runtime_error(lines_record.string() + ":" + std::to_string(error.line()) + ": " + error.what());
    }
    return {record.name, std::filesystem::path(record.source).filename(), support::read_text(record.source),
            record.text, record.lines};
}

int shade_of(double bits)
{
    return std::clamp(static_cast<int>(bits), 0, shade_count - 1);
}

std::array<std::uint8_t, 3> shade_colour(int shade)
{
    return shades[std::size_t(shade)];
}

std::string hex_offset(std::size_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%04zx", value);
    return text;
}

double total_bits(const SizeReport& report)
{
    return std::accumulate(report.costs.begin(), report.costs.end(), 0.0);
}

std::vector<std::size_t> part_of_bytes(const SizeReport& report)
{
    std::vector<std::size_t> part_of(report.program.size());
    for (std::size_t index = 0; index < report.parts.size(); ++index)
        for (Range range : report.parts[index].ranges)
            std::fill_n(part_of.begin() + std::ptrdiff_t(range.offset), range.size, index);
    return part_of;
}

SizeReport measure(std::span<const std::uint8_t> program, std::span<const std::uint8_t> linked,
                   const coder::ModelSet& models, const std::vector<ShaderSource>& shaders)
{
    SizeReport report;
    report.program.assign(program.begin(), program.end());
    report.costs = coder::byte_costs(program, models);
    report.contexts = models.contexts.size();
    std::map<std::string, Range> texts;
    report.parts = find_parts(program, linked, report.costs, shaders, texts);
    report.shaders = shader_costs(program, report.costs, shaders, texts);
    return report;
}

} // namespace executable_packer::size_report
