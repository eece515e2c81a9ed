// PNG writing and reading through libpng's simplified interface.
#include "png_file.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace offscreen {

namespace {

// A negative stride tells libpng that the rows run from the bottom up.
png_int_32 bottom_up_stride(const Image<std::uint8_t>& image)
{
    return -png_int_32(image.size.width * 3);
}

Failure write_failure(const std::string& path, const char* reason)
{
    return Failure{"cannot write " + path + ": " + reason};
}

} // namespace

std::optional<Failure> write_png(const std::string& path, const Image<std::uint8_t>& image)
{
    std::string temporary = path + ".XXXXXX";
    int descriptor = mkstemp(temporary.data());
    if (descriptor < 0)
        return write_failure(path, std::strerror(errno));

    mode_t mask = umask(0);
    umask(mask);
    fchmod(descriptor, 0666 & ~mask); // the mode an ordinary new file gets, not mkstemp's 0600
    FILE* file = fdopen(descriptor, "wb");

    png_image description{};
    description.version = PNG_IMAGE_VERSION;
    description.width = png_uint_32(image.size.width);
    description.height = png_uint_32(image.size.height);
    description.format = PNG_FORMAT_RGB;
    std::string reason;
    if (!png_image_write_to_stdio(&description, file, 0, image.rgb.data(), bottom_up_stride(image), nullptr))
        reason = description.message;
    else if (std::fflush(file) != 0 || fsync(descriptor) != 0)
        reason = std::strerror(errno);
    if (std::fclose(file) != 0 && reason.empty())
        reason = std::strerror(errno);
    if (reason.empty() && std::rename(temporary.c_str(), path.c_str()) != 0)
        reason = std::strerror(errno);
    if (!reason.empty())
    {
        std::remove(temporary.c_str());
        return write_failure(path, reason.c_str());
    }
    return std::nullopt;
}

Result<Image<std::uint8_t>> read_png(const std::string& path)
{
    png_image description{};
    description.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&description, path.c_str()))
        return Failure{"cannot read " + path + ": " + description.message};
    description.format = PNG_FORMAT_RGB;
    Image<std::uint8_t> image{Size{int(description.width), int(description.height)}, {}};
    image.rgb.resize(PNG_IMAGE_SIZE(description));
    if (!png_image_finish_read(&description, nullptr, image.rgb.data(), bottom_up_stride(image), nullptr))
        return Failure{"cannot read " + path + ": " + description.message};
    return image;
}

} // namespace offscreen
