// 8-bit RGB PNG files for offscreen frames: written whole or not at all, and read back.
#pragma once

#include "offscreen.h"

#include <optional>
#include <string>

namespace offscreen {

// Writes the image, top row first, to a temporary file beside path and renames it into place,
// so path never holds a partial picture.
std::optional<Failure> write_png(const std::string& path, const Image<std::uint8_t>& image);

// Reads any PNG as 8-bit RGB, rows from the bottom row up like a frame read back from GL.
Result<Image<std::uint8_t>> read_png(const std::string& path);

} // namespace offscreen
