// The size report (see size_report.h): the parts from the ELF headers, sections and symbols, the
// costs from one pass of the coder, and the page and picture drawn from them.
#include "size_report.h"

#include "decimal_text.h"
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

namespace packing::size_report {

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

// From this shade on, text on the colour is white.
constexpr int light_text_shade = 7;

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

std::string escaped(std::string_view text)
{
    std::string html;
    for (char c : text)
        switch (c)
        {
        case '&':
            html += "&amp;";
            break;
        case '<':
            html += "&lt;";
            break;
        case '>':
            html += "&gt;";
            break;
        case '"':
            html += "&quot;";
            break;
        default:
            html += c;
        }
    return html;
}

std::string hex(std::size_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%04zx", value);
    return text;
}

std::string shade_class(double bits)
{
    return "k" + std::to_string(shade_of(bits));
}

double total_bits(const SizeReport& report)
{
    return std::accumulate(report.costs.begin(), report.costs.end(), 0.0);
}

// Which part each byte is in, as an index into report.parts.
std::vector<std::size_t> part_of_bytes(const SizeReport& report)
{
    std::vector<std::size_t> part_of(report.program.size());
    for (std::size_t index = 0; index < report.parts.size(); ++index)
        for (Range range : report.parts[index].ranges)
            std::fill_n(part_of.begin() + std::ptrdiff_t(range.offset), range.size, index);
    return part_of;
}

constexpr std::string_view style = R"css(
body{font:14px/1.45 sans-serif;margin:1.5em 1.5em 4em;color:#222;background:#fff}
h1{font-size:1.5em}h2{font-size:1.2em;margin-top:2em}h3{font-size:1.05em}
table{border-collapse:collapse}th,td{padding:1px 8px;text-align:right}
th:first-child,td:first-child{text-align:left}tr.all>*{border-top:1px solid #888}
code,.map,.src,.compact{font-family:monospace;font-size:12px}i{font-style:normal}
.map div{white-space:pre;line-height:1.35}.map b{font-weight:normal;color:#777}.map .h i{margin-right:3px}
.legend i{display:inline-block;padding:0 6px}
.panes{display:flex;gap:1.5em;align-items:flex-start}
.src td{padding:0 6px;white-space:pre;text-align:left;line-height:1.3}.src td.n,.src td.m{text-align:right}
.compact{white-space:pre-wrap;word-break:break-all;max-width:72ch;line-height:1.35}
#status{position:fixed;left:0;right:0;bottom:0;padding:4px 1.5em;background:#222;color:#eee;font:12px monospace}
)css";

// Details of what the pointer is on in the status line and its title, with its part or line
// outlined, and the totals that the map and the margins hold written out for the reader to
// check against the tables.
constexpr std::string_view script = R"js(
const status = document.getElementById("status"), highlight = document.getElementById("highlight");
function show(element, text, outlined) {
  element.title = text;
  status.textContent = text;
  highlight.textContent = outlined + "{outline:1px solid #000}";
}
function hex(offset) { return "0x" + offset.toString(16).padStart(4, "0"); }
function packed(bits) { return (bits / 8).toFixed(1); }
document.getElementById("map").addEventListener("mouseover", event => {
  const cell = event.target;
  if (cell.tagName !== "I") return;
  const offset = Number(cell.parentNode.parentNode.dataset.o) +
                 Array.prototype.indexOf.call(cell.parentNode.children, cell);
  show(cell, `${hex(offset)}: ${partNames[partOf[offset]]}, ${bits[offset].toFixed(2)} bits`,
       `#map .p${partOf[offset]}`);
});
for (const stage of document.querySelectorAll(".stage")) {
  const characters = stage.querySelectorAll(".compact i"), start = Number(stage.dataset.offset);
  stage.addEventListener("mouseover", event => {
    const item = event.target.closest("[data-l]");
    if (!item) return;
    const line = item.dataset.l, outlined = `#${stage.id} [data-l="${line}"]`;
    if (item.tagName === "I") {
      const index = Array.prototype.indexOf.call(characters, item);
      show(item, `${stage.dataset.name} line ${line}: ${bits[start + index].toFixed(2)} bits`, outlined);
    } else {
      const count = stage.querySelectorAll(`.compact [data-l="${line}"]`).length;
      show(item, `${stage.dataset.name} line ${line}: ${count} characters, ${packed(Number(item.dataset.b))} bytes`,
           outlined);
    }
  });
  let margins = 0;
  for (const row of stage.querySelectorAll(".src tr[data-b]")) margins += Number(row.dataset.b);
  stage.querySelector(".margins").textContent = packed(margins);
  stage.querySelector(".characters").textContent = characters.length;
}
document.getElementById("map-bytes").textContent = document.querySelectorAll("#map .h i").length;
document.getElementById("map-packed").textContent = packed(bits.reduce((sum, b) => sum + b, 0));
)js";

// The colour scale's classes, k0 to k8, light text on the darkest.
std::string shade_rules()
{
    std::string rules;
    for (int shade = 0; shade < shade_count; ++shade)
    {
        char rule[64];
        support::Colour colour = shades[std::size_t(shade)];
        std::snprintf(rule, sizeof rule, ".k%d{background:#%02x%02x%02x%s}\n", shade, colour[0], colour[1], colour[2],
                      shade >= light_text_shade ? ";color:#fff" : "");
        rules += rule;
    }
    return rules;
}

void summary(const SizeReport& report, std::string& html)
{
    std::size_t packed_size = 0;
    html += "<h2>Summary</h2>\n<table>\n<tr><th>File</th><th>Bytes</th></tr>\n<tr><td><code>" +
            escaped(report.program_name) + "</code>, the program</td><td id=\"program-bytes\">" +
            std::to_string(report.program.size()) + "</td></tr>\n";
    std::string ways;
    for (const Way& way : report.ways)
    {
        bool shipped = way.name == report.shipped;
        packed_size = shipped ? way.stub + way.payload : packed_size;
        ways += "<tr id=\"way-" + escaped(way.name) + "\"><td>" + escaped(way.name) + (shipped ? " (shipped)" : "") +
                "</td><td>" + std::to_string(way.stub) + "</td><td>" + std::to_string(way.payload) +
                "</td><td class=\"total\">" + std::to_string(way.stub + way.payload) + "</td></tr>\n";
    }
    html += "<tr><td><code>" + escaped(report.packed_name) + "</code>, packed</td><td id=\"packed-bytes\">" +
            std::to_string(packed_size) + "</td></tr>\n</table>\n<p>Both ways of packing:</p>\n<table>\n" +
            "<tr><th>Way</th><th>Stub</th><th>Payload</th><th>Total</th></tr>\n" + ways + "</table>\n";
    html += "<p>With the models that ship (" + std::to_string(report.contexts) +
            " contexts, 4 bytes each in the decoder's payload), the coder's code length for the program is <b "
            "id=\"code-length\">" +
            support::fixed_decimal(total_bits(report) / 8, 1) +
            "</b> bytes: the sum of what each bit costs, -log<sub>2</sub> of the probability the models gave it. "
            "The range coder's stream is that and the few bytes of its ending. Below, every byte of the program "
            "is counted in one part, and each part's packed bytes are what its bytes cost. The map shows <span "
            "id=\"map-bytes\"></span> bytes that cost <span id=\"map-packed\"></span> bytes.</p>\n";
}

void parts_table(const SizeReport& report, std::string& html)
{
    double total = total_bits(report);
    std::vector<const ProgramPart*> costliest;
    for (const ProgramPart& part : report.parts)
        costliest.push_back(&part);
    std::stable_sort(costliest.begin(), costliest.end(),
                     [](const ProgramPart* a, const ProgramPart* b) { return a->bits > b->bits; });
    html += "<h2>Parts, costliest first</h2>\n<table id=\"parts\">\n<tr><th>Part</th><th>Where</th><th>Bytes</th>"
            "<th>Packed bytes</th><th>Bits per byte</th><th>Share</th></tr>\n";
    for (const ProgramPart* part : costliest)
    {
        Range first = part->ranges.front(), last = part->ranges.back();
        std::string where = hex(first.offset) + "&ndash;" + hex(last.offset + last.size - 1);
        if (part->ranges.size() > 1)
            where += " in " + std::to_string(part->ranges.size()) + " runs";
        html += "<tr class=\"part\"><td>" + escaped(part->name) + "</td><td>" + where + "</td><td class=\"bytes\">" +
                std::to_string(part->bytes) + "</td><td class=\"packed\">" + support::fixed_decimal(part->bits / 8, 1) +
                "</td><td class=\"" + shade_class(part->bits / double(part->bytes)) + "\">" +
                support::fixed_decimal(part->bits / double(part->bytes), 2) + "</td><td>" +
                support::fixed_decimal(total > 0 ? 100 * part->bits / total : 0, 1) + "%</td></tr>\n";
    }
    html += "<tr class=\"all\"><th>All</th><td></td><td>" + std::to_string(report.program.size()) + "</td><td>" +
            support::fixed_decimal(total / 8, 1) + "</td><td>" +
            support::fixed_decimal(report.program.empty() ? 0 : total / double(report.program.size()), 2) +
            "</td><td>100%</td></tr>\n</table>\n";
}

void byte_map(const SizeReport& report, std::string& html)
{
    constexpr std::size_t columns = 32;
    std::vector<std::size_t> part_of = part_of_bytes(report);
    html += "<h2>The byte map</h2>\n<p>Every byte of the program in hex and as a character where it prints, "
            "coloured by its cost; the pointer on one shows its offset, part and bits, and outlines its part.</p>\n"
            "<p class=\"legend\">Bits per byte: ";
    for (int shade = 0; shade < shade_count; ++shade)
        html += "<i class=\"k" + std::to_string(shade) + "\">" +
                (shade == 0 ? std::string("&lt;1") : std::to_string(shade) + (shade + 1 == shade_count ? "+" : "")) +
                "</i>";
    html += "</p>\n<div id=\"map\" class=\"map\">\n";
    for (std::size_t row = 0; row < report.program.size(); row += columns)
    {
        std::string hex_cells, characters;
        for (std::size_t i = row; i < std::min(row + columns, report.program.size()); ++i)
        {
            std::string open = "<i class=\"" + shade_class(report.costs[i]) + " p" + std::to_string(part_of[i]) + "\">";
            char digits[3];
            std::snprintf(digits, sizeof digits, "%02x", report.program[i]);
            char c = static_cast<char>(report.program[i]);
            hex_cells += open + digits + "</i>";
            characters += open + (c >= ' ' && c <= '~' ? escaped(std::string(1, c)) : std::string("&middot;")) + "</i>";
        }
        html += "<div data-o=\"" + std::to_string(row) + "\"><b>" + hex(row) + "</b> <span class=\"h\">" + hex_cells +
                "</span> <span class=\"c\">" + characters + "</span></div>\n";
    }
    html += "</div>\n";
}

void shader_panels(const SizeReport& report, std::string& html)
{
    if (report.shaders.empty())
        return;
    html += "<h2>The shader sources</h2>\n<p>Each source as written, each line with what the characters of the "
            "compact text made from its tokens cost, in packed bytes (an inlined function's at the lines where "
            "it is written), and the compact text beside it character by character. A line's colour is its "
            "characters' bits per byte; the pointer on a line or a character outlines the line and its "
            "characters.</p>\n";
    for (std::size_t index = 0; index < report.shaders.size(); ++index)
    {
        const ShaderCost& shader = report.shaders[index];
        const ShaderSource& source = shader.source;
        std::vector<std::size_t> counts(shader.line_bits.size());
        for (int line : source.lines)
            ++counts[std::size_t(line - 1)];
        double text_bits = std::accumulate(shader.line_bits.begin(), shader.line_bits.end(), shader.end_bits);
        html += "<section class=\"stage\" id=\"stage-" + std::to_string(index) + "\" data-name=\"" +
                escaped(source.source_name) + "\" data-offset=\"" + std::to_string(shader.offset) + "\">\n<h3>" +
                escaped(source.source_name) + ": <code>" + escaped(source.text_name) +
                "</code>, <span "
                "class=\"characters\"></span> characters and a closing NUL, <span class=\"text-packed\">" +
                support::fixed_decimal(text_bits / 8, 1) +
                "</span> packed bytes; the margins add up to <span "
                "class=\"margins\"></span></h3>\n<div class=\"panes\">\n<table class=\"src\">\n";
        std::string_view rest = source.source;
        for (std::size_t line = 0; line < shader.line_bits.size(); ++line)
        {
            std::string_view text = rest.substr(0, rest.find('\n'));
            rest.remove_prefix(std::min(text.size() + 1, rest.size()));
            std::string number = std::to_string(line + 1);
            if (counts[line] == 0)
            {
                html +=
                    "<tr><td class=\"n\">" + number + "</td><td class=\"m\"></td><td>" + escaped(text) + "</td></tr>\n";
                continue;
            }
            double bits = shader.line_bits[line];
            html += "<tr class=\"" + shade_class(bits / double(counts[line])) + "\" data-l=\"" + number +
                    "\" data-b=\"" + support::fixed_decimal(bits, 3) + "\"><td class=\"n\">" + number +
                    "</td><td class=\"m\">" + support::fixed_decimal(bits / 8, 1) + "</td><td>" + escaped(text) +
                    "</td></tr>\n";
        }
        html += "<tr class=\"" + shade_class(shader.end_bits) + "\" data-b=\"" +
                support::fixed_decimal(shader.end_bits, 3) + "\"><td class=\"n\"></td><td class=\"m\">" +
                support::fixed_decimal(shader.end_bits / 8, 1) +
                "</td><td>(the closing NUL)</td></tr>\n</table>\n<div class=\"compact\">";
        for (std::size_t i = 0; i < source.lines.size(); ++i)
        {
            char c = static_cast<char>(report.program[shader.offset + i]);
            html += "<i class=\"" + shade_class(report.costs[shader.offset + i]) + "\" data-l=\"" +
                    std::to_string(source.lines[i]) + "\">" +
                    (c == '\n' ? std::string("&crarr;\n") : escaped(std::string(1, c))) + "</i>";
        }
        html += "</div>\n</div>\n</section>\n";
    }
}

void script_data(const SizeReport& report, std::string& html)
{
    std::vector<std::size_t> part_of = part_of_bytes(report);
    html += "const bits = [";
    for (std::size_t i = 0; i < report.costs.size(); ++i)
        html += (i ? "," : "") + support::fixed_decimal(report.costs[i], 3);
    html += "];\nconst partOf = [";
    for (std::size_t i = 0; i < part_of.size(); ++i)
        html += (i ? "," : "") + std::to_string(part_of[i]);
    html += "];\nconst partNames = [";
    for (std::size_t i = 0; i < report.parts.size(); ++i)
    {
        std::string name;
        for (char c : report.parts[i].name)
            name += c == '"' || c == '\\' ? std::string("\\") + c : c == '<' ? std::string("\\x3c") : std::string(1, c);
        html += (i ? ",\"" : "\"") + name + "\"";
    }
    html += "];";
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

std::string page(const SizeReport& report)
{
    std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" +
                       escaped(report.program_name) + ": where the bytes go</title>\n<style>" + std::string(style) +
                       shade_rules() +
                       "</style>\n<style id=\"highlight\"></style>\n</head>\n<body>\n<h1>Where the bytes of <code>" +
                       escaped(report.program_name) + "</code> go</h1>\n";
    summary(report, html);
    parts_table(report, html);
    byte_map(report, html);
    shader_panels(report, html);
    html += "<div id=\"status\">Point at a byte, a line or a character for its details.</div>\n<script>\n"
            "\"use strict\";\n";
    script_data(report, html);
    html += std::string(script) + "</script>\n</body>\n</html>\n";
    return html;
}

support::Image<std::uint8_t> picture(const SizeReport& report)
{
    constexpr int scale = 2, text_line = support::glyph_height * scale + 6, swatch = 40;
    constexpr support::Colour ink{0, 0, 0}, paper{255, 255, 255};
    std::vector<std::string> legend;
    std::size_t widest = 0;
    for (const ProgramPart& part : report.parts)
    {
        legend.push_back(hex(part.ranges.front().offset) + " " + part.name + ": " + std::to_string(part.bytes) +
                         " bytes, " + support::fixed_decimal(part.bits / 8, 1) + " packed");
        widest = std::max(widest, legend.back().size());
    }
    const std::size_t size = report.program.size();
    int rows = int((size + map_columns - 1) / map_columns);
    int legend_left = map_left + map_columns * cell_pixels + 32, legend_top = map_top + 3 * text_line;
    int width = legend_left + std::max(int(widest) * support::glyph_advance * scale, shade_count * swatch) + 16;
    int height = std::max(map_top + rows * cell_pixels, legend_top + int(legend.size() + 1) * text_line) + 16;
    support::Image<std::uint8_t> image{width, height, std::vector<std::uint8_t>(std::size_t(width) * height * 3, 255)};
    support::draw_text(image, 16, 14,
                       report.program_name + ": " + std::to_string(size) + " bytes, which the coder packs into " +
                           support::fixed_decimal(total_bits(report) / 8, 1) + " bytes",
                       ink, scale);

    std::vector<std::size_t> part_of = part_of_bytes(report);
    for (std::size_t i = 0; i < size; ++i)
    {
        int column = int(i % map_columns), row = int(i / map_columns);
        int x = map_left + column * cell_pixels, y = map_top + row * cell_pixels, last = cell_pixels - 1;
        support::fill(image, x, y, cell_pixels, cell_pixels, shade_colour(shade_of(report.costs[i])));
        if (column == 0 || part_of[i - 1] != part_of[i])
            support::fill(image, x, y, 1, cell_pixels, ink);
        if (column == map_columns - 1 || i + 1 == size || part_of[i + 1] != part_of[i])
            support::fill(image, x + last, y, 1, cell_pixels, ink);
        if (row == 0 || part_of[i - map_columns] != part_of[i])
            support::fill(image, x, y, cell_pixels, 1, ink);
        if (i + map_columns >= size || part_of[i + map_columns] != part_of[i])
            support::fill(image, x, y + last, cell_pixels, 1, ink);
        if (column == 0 && row % 4 == 0)
            support::draw_text(image, 16, y, hex(i), ink, scale);
    }

    support::draw_text(image, legend_left, map_top, "Bits per byte:", ink, scale);
    for (int shade = 0; shade < shade_count; ++shade)
    {
        int x = legend_left + shade * swatch, y = map_top + text_line;
        support::fill(image, x, y, swatch - 4, text_line, shade_colour(shade));
        std::string label = shade == 0 ? "<1" : std::to_string(shade) + (shade + 1 == shade_count ? "+" : "");
        support::draw_text(image, x + 4, y + 3, label, shade >= light_text_shade ? paper : ink, scale);
    }
    support::draw_text(image, legend_left, legend_top, "Parts, outlined, from the start:", ink, scale);
    for (std::size_t i = 0; i < legend.size(); ++i)
        support::draw_text(image, legend_left, legend_top + int(i + 1) * text_line, legend[i], ink, scale);
    return image;
}

} // namespace packing::size_report
