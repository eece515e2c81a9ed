// Differences between two 8-bit images, described for a test's failure message; blocks and text
// drawn on them.
#include "image.h"

#include <algorithm>
#include <sstream>

namespace support {

std::string describe_difference(const Image<std::uint8_t>& actual, const Image<std::uint8_t>& expected)
{
    std::ostringstream text;
    if (actual.width != expected.width || actual.height != expected.height)
    {
        text << "size " << actual.width << "x" << actual.height << ", expected " << expected.width << "x"
             << expected.height;
        return text.str();
    }
    std::size_t differing = 0;
    std::size_t first = 0;
    for (std::size_t pixel = 0; pixel * 3 < actual.rgb.size(); ++pixel)
    {
        if (std::equal(actual.rgb.begin() + pixel * 3, actual.rgb.begin() + pixel * 3 + 3,
                       expected.rgb.begin() + pixel * 3))
            continue;
        if (differing++ == 0)
            first = pixel;
    }
    if (differing == 0)
        return {};
    auto colour = [](const Image<std::uint8_t>& image, std::size_t pixel) {
        std::ostringstream rgb;
        rgb << "(" << int(image.rgb[pixel * 3]) << ", " << int(image.rgb[pixel * 3 + 1]) << ", "
            << int(image.rgb[pixel * 3 + 2]) << ")";
        return rgb.str();
    };
    text << differing << " of " << actual.rgb.size() / 3 << " pixels differ; the first at (" << first % actual.width
         << ", " << first / actual.width << ") from the top left is " << colour(actual, first) << ", expected "
         << colour(expected, first);
    return text.str();
}

namespace {

// The glyphs of ' ' to '~', 9 characters each, one a row from the top: a row's 5 pixels as a
// number in base 32 (digits, then 'a' to 'v'), the leftmost pixel its highest bit.
constexpr std::string_view glyphs = "000000000444440400aa0000000aavavaa004fke5u400op248j300cik8lid00"
                                    "44000000024888420084222480004lel4000044v44000000004480000v00000"
                                    "00000040011248gg00ehjlphe004c4444e00eh1248v00v2421he0026aiv2200"
                                    "vgu11he0068guhhe00v12488800ehhehhe00ehhf12c00004004000004004480"
                                    "248g8420000v0v0000842124800eh1240400ehnlnge00ehhvhhh00uhhuhhu00"
                                    "ehggghe00sihhhis00vgguggv00vgguggg00ehgnhhf00hhhvhhh00e44444e00"
                                    "72222ic00hikokih00ggggggv00hrllhhh00hhpljhh00ehhhhhe00uhhuggg00"
                                    "ehhhlid00uhhukih00fgge11u00v44444400hhhhhhe00hhhhha400hhhllla00"
                                    "hha4ahh00hha444400v1248gv00e88888e00gg8421100e22222e004ah000000"
                                    "0000000v084000000000e1fhf00gguhhhu0000eggge0011fhhhf0000ehvge00"
                                    "698s8880000fhhhf1egguhhhh0040c444e002062222icggikoki00c44444e00"
                                    "00qllll0000uhhhh0000ehhhe0000uhhhugg00fhhhf1100mpggg0000fge1u00"
                                    "88s88960000hhhjd0000hhha40000hhlla0000ha4ah0000hhhhf1e00v248v00"
                                    "244844200444444440844244800008l20000";
static_assert(glyphs.size() == ('~' - ' ' + 1) * glyph_height);

int row_bits(char digit)
{
    return digit <= '9' ? digit - '0' : digit - 'a' + 10;
}

} // namespace

void fill(Image<std::uint8_t>& image, int x, int y, int width, int height, Colour colour)
{
    for (int row = std::max(y, 0); row < std::min(y + height, image.height); ++row)
        for (int column = std::max(x, 0); column < std::min(x + width, image.width); ++column)
            std::copy(colour.begin(), colour.end(),
                      image.rgb.begin() + (std::ptrdiff_t(row) * image.width + column) * 3);
}

int draw_text(Image<std::uint8_t>& image, int x, int y, std::string_view text, Colour colour, int scale)
{
    for (char c : text)
    {
        std::size_t glyph = c >= ' ' && c <= '~' ? std::size_t(c - ' ') : std::size_t('?' - ' ');
        for (int row = 0; row < glyph_height; ++row)
        {
            int bits = row_bits(glyphs[glyph * glyph_height + std::size_t(row)]);
            for (int column = 0; column < 5; ++column)
                if (bits >> (4 - column) & 1)
                    fill(image, x + column * scale, y + row * scale, scale, scale, colour);
        }
        x += glyph_advance * scale;
    }
    return x;
}

} // namespace support
