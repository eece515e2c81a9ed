// 8-bit RGB PNG files: read whole, written all or nothing.
#pragma once

#include "image.h"

#include <cstdint>
#include <filesystem>

namespace support {

// Reads any 8-bit PNG, dropping alpha; throws FileError when it cannot.
Image<std::uint8_t> read_png(const std::filesystem::path& path);

// Writes the image as an ordinary new file through write_file_atomically, so path never holds a
// partial picture; throws FileError when it cannot.
void write_png(const std::filesystem::path& path, const Image<std::uint8_t>& image);

} // namespace support
