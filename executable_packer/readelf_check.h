// The readelf check that every executable the build's steps write passes before it takes its place.
#pragma once

#include <string>

namespace executable_packer {

// Runs binutils' `readelf -lWd` on the file; throws PackingError with readelf's complaint when
// it fails or warns about anything.
void check_with_readelf(const std::string& path);

} // namespace executable_packer
