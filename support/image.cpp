// Differences between two 8-bit images, described for a test's failure message.
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

} // namespace support
