// The size report's picture (see size_report.h): the byte map drawn cell by cell in the colours
// of the costs, the parts outlined, with a legend in the bitmap font.
#include "size_report.h"

#include "decimal_text.h"

#include <algorithm>

namespace executable_packer::size_report {

support::Image<std::uint8_t> picture(const SizeReport& report)
{
    constexpr int scale = 2, text_line = support::glyph_height * scale + 6, swatch = 40;
    constexpr support::Colour ink{0, 0, 0}, paper{255, 255, 255};
    std::vector<std::string> legend;
    std::size_t widest = 0;
    for (const ProgramPart& part : report.parts)
    {
        legend.push_back(hex_offset(part.ranges.front().offset) + " " + part.name + ": " + std::to_string(part.bytes) +
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
            support::draw_text(image, 16, y, hex_offset(i), ink, scale);
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

} // namespace executable_packer::size_report
