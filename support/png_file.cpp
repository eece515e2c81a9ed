// PNG reading and writing through libpng's simplified interface.
#include "png_file.h"

#include "file_io.h"

#include <png.h>

namespace support {

Image<std::uint8_t> read_png(const std::filesystem::path& path)
{
    png_image header{};
    header.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&header, path.c_str()))
        throw FileError("cannot read " + path.string() + ": " + header.message);
    // Read as RGBA, which leaves 8-bit RGB and RGBA files untouched (no alpha compositing and
    // no gamma step), then drop the alpha.
    header.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> rgba(PNG_IMAGE_SIZE(header));
    if (!png_image_finish_read(&header, nullptr, rgba.data(), 0, nullptr))
        throw FileError("cannot decode " + path.string() + ": " + header.message);
    Image<std::uint8_t> image{static_cast<int>(header.width), static_cast<int>(header.height), {}};
    image.rgb.reserve(rgba.size() / 4 * 3);
    for (std::size_t i = 0; i < rgba.size(); i += 4)
        image.rgb.insert(image.rgb.end(), rgba.begin() + i, rgba.begin() + i + 3);
    return image;
}

void write_png(const std::filesystem::path& path, const Image<std::uint8_t>& image)
{
    png_image header{};
    header.version = PNG_IMAGE_VERSION;
    header.width = png_uint_32(image.width);
    header.height = png_uint_32(image.height);
    header.format = PNG_FORMAT_RGB;
    std::vector<std::uint8_t> encoded(PNG_IMAGE_PNG_SIZE_MAX(header));
    png_alloc_size_t size = encoded.size();
    if (!png_image_write_to_memory(&header, encoded.data(), &size, 0, image.rgb.data(), 0, nullptr))
        throw FileError("cannot write " + path.string() + ": " + header.message);
    encoded.resize(size);
    write_file_atomically(path, encoded);
}

} // namespace support
