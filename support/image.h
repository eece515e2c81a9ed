// RGB images, three channels a pixel, rows from the top row down as screens and PNG files order
// them: 8-bit ones for screens, files and snapshots, float ones for the shader probes' frames;
// blocks and text drawn on 8-bit ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace support {

template <class Channel>
struct Image
{
    int width = 0;
    int height = 0;
    std::vector<Channel> rgb;

    // The block_width x block_height block whose top-left pixel is (x, y).
    Image region(int x, int y, int block_width, int block_height) const
    {
        if (x < 0 || y < 0 || block_width < 0 || block_height < 0 || x + block_width > width ||
            y + block_height > height)
            throw std::runtime_error("region outside the image");
        Image block{block_width, block_height, {}};
        block.rgb.reserve(std::size_t(block_width) * block_height * 3);
        for (int row = y; row < y + block_height; ++row)
        {
            auto start = rgb.begin() + (std::ptrdiff_t(row) * width + x) * 3;
            block.rgb.insert(block.rgb.end(), start, start + block_width * 3);
        }
        return block;
    }

    // The block at the lower-left corner: what a GL framebuffer of that size holds when drawn
    // by a picture laid out from the lower-left corner.
    Image lower_left(int block_width, int block_height) const
    {
        return region(0, height - block_height, block_width, block_height);
    }

    // Every pixel the same colour.
    bool uniform() const
    {
        for (std::size_t i = 3; i < rgb.size(); ++i)
            if (rgb[i] != rgb[i % 3])
                return false;
        return true;
    }

    friend bool operator==(const Image&, const Image&) = default;
};

// Empty when the two are equal; otherwise the sizes, or how many pixels differ and the first.
std::string describe_difference(const Image<std::uint8_t>& actual, const Image<std::uint8_t>& expected);

using Colour = std::array<std::uint8_t, 3>;

// Fills the width x height block whose top-left pixel is (x, y), as far as it lies in the image.
void fill(Image<std::uint8_t>& image, int x, int y, int width, int height, Colour colour);

// A bitmap font of 5 x 9 pixels a character (7 above the baseline, 2 below), characters one pixel
// apart, each font pixel drawn as scale x scale pixels: glyph_advance * scale apart, lines
// glyph_height * scale high.
inline constexpr int glyph_advance = 6, glyph_height = 9;

// Writes text from (x, y), its first character's top-left pixel, as far as it lies in the image:
// printable ASCII, anything else as '?'. Returns the x after the text.
int draw_text(Image<std::uint8_t>& image, int x, int y, std::string_view text, Colour colour, int scale = 1);

} // namespace support
