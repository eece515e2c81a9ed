// Whole-file reading and all-or-nothing writing for the build steps, and the readelf check
// that every written executable passes before it takes its place.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <vector>

class FileError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

std::vector<std::uint8_t> read_file(const std::string& path);

// Writes the bytes to a temporary file beside path, runs check on the temporary file's path,
// then renames it to path. When writing or the check fails (the check by throwing), the
// temporary file is removed and path is left as it was.
void write_file_atomically(const std::string& path, std::span<const std::uint8_t> bytes, mode_t mode,
                           const std::function<void(const std::string&)>& check = {});

// Runs `readelf -lWd` on the file; throws FileError with readelf's complaint when it fails or
// warns about anything.
void check_with_readelf(const std::string& path);
