// What the decoding stub's tests share: a program packed with the stub and the default models,
// where such a file divides and what the reference decoder makes of it, and the one way a packed
// program may fail.
#pragma once

#include "file_io.h"
#include "packing.h"
#include "process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <span>
#include <string>

// Writes the packed file into the directory as an executable.
inline std::filesystem::path write_packed(const executable_packer::PackedFile& packed,
                                          const std::filesystem::path& directory, const std::string& name)
{
    std::filesystem::path path = directory / name;
    support::write_file_atomically(path, packed.bytes, {.mode = 0755});
    return path;
}

// Packs the program with the decoding stub and the default models into the directory.
inline std::filesystem::path pack_with_decoder(const std::filesystem::path& program,
                                               const std::filesystem::path& directory, const std::string& name)
{
    return write_packed(
        executable_packer::pack_with_decoder(executable_packer::read_stub_object(support::read_file(DECODER_STUB)),
                                             support::read_file(program), coder::default_models()),
        directory, name);
}

// Where a file packed as above divides: the stub, then the stream, then the contexts.
struct PackedParts
{
    std::size_t stream_start;
    std::size_t contexts_start;
};

inline PackedParts packed_parts(std::size_t file_size)
{
    std::size_t stub = executable_packer::read_stub_object(support::read_file(DECODER_STUB)).text.size();
    return {stub, file_size - 4 * coder::default_models().contexts.size()};
}

// What the reference decoder makes of a file packed as above, damaged or not: its stream decoded
// with the contexts it holds.
inline coder::Decoded decode_packed(std::span<const std::uint8_t> file, std::size_t program_size)
{
    PackedParts parts = packed_parts(file.size());
    coder::ModelSet models = coder::default_models();
    std::memcpy(models.contexts.data(), &file[parts.contexts_start], 4 * models.contexts.size());
    return coder::decode(file.subspan(parts.stream_start, parts.contexts_start - parts.stream_start), program_size,
                         models);
}

// A failure to unpack: status 1 from an exit, not a signal, and exactly the one line on stderr.
inline void expect_clean_failure(const support::Finished& finished, const std::string& cause)
{
    EXPECT_TRUE(finished.status.clean_exit(1)) << cause << ": " << finished.status.text();
    EXPECT_EQ(finished.err, "stillray: cannot unpack\n") << cause;
    EXPECT_EQ(finished.out, "") << cause;
}
