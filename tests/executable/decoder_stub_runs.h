// What the decoding stub's tests share: a program packed with the stub and the default models,
// and the one way a packed program may fail.
#pragma once

#include "file_io.h"
#include "packing.h"
#include "process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

// Writes the packed file into the directory as an executable.
inline std::filesystem::path write_packed(const packing::PackedFile& packed, const std::filesystem::path& directory,
                                          const std::string& name)
{
    std::filesystem::path path = directory / name;
    support::write_file_atomically(path, packed.bytes, {.mode = 0755});
    return path;
}

// Packs the program with the decoding stub and the default models into the directory.
inline std::filesystem::path pack_with_decoder(const std::filesystem::path& program,
                                               const std::filesystem::path& directory, const std::string& name)
{
    return write_packed(packing::pack_with_decoder(packing::read_stub_object(support::read_file(DECODER_STUB)),
                                                   support::read_file(program),
                                                   packing::context_mixing::default_models()),
                        directory, name);
}

// A failure to unpack: status 1 from an exit, not a signal, and exactly the one line on stderr.
inline void expect_clean_failure(const support::Finished& finished, const std::string& cause)
{
    EXPECT_TRUE(finished.status.clean_exit(1)) << cause << ": " << finished.status.text();
    EXPECT_EQ(finished.err, "stillray: cannot unpack\n") << cause;
    EXPECT_EQ(finished.out, "") << cause;
}
