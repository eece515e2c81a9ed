// .lzma streams: xz gives back exactly what was compressed, under each setting, from one encoder
// used again and again, and the header records the settings.
#include "file_io.h"
#include "lzma_compression.h"
#include "process.h"

#include <gtest/gtest.h>

namespace {

using Bytes = std::vector<std::uint8_t>;
using support::LzmaSettings;

// Text with repeats and every byte value, so that every setting has something to do.
Bytes sample(int variant)
{
    Bytes data;
    for (int i = 0; i < 3000; ++i)
        data.push_back(std::uint8_t(i % 7 == 0 ? i * 31 + variant : "vec3 material(float d)"[i % 22]));
    return data;
}

Bytes decompressed_by_xz(std::span<const std::uint8_t> stream)
{
    support::TempDir directory("lzma-test");
    support::write_file_atomically(directory.path() / "stream.lzma", stream);
    support::Finished xz =
        support::run({"/usr/bin/xz", "--format=lzma", "--decompress", "--stdout", directory.path() / "stream.lzma"});
    EXPECT_TRUE(xz.status.clean_exit()) << xz.status.text() << ": " << xz.err;
    return {xz.out.begin(), xz.out.end()};
}

TEST(Lzma, XzRestoresTheDataUnderEachSetting)
{
    for (LzmaSettings settings : {LzmaSettings{0, 0, 0, 1 << 16}, LzmaSettings{1, 0, 0, 1 << 16},
                                  LzmaSettings{0, 2, 2, 1 << 20}, LzmaSettings{4, 0, 4, 1 << 16}})
    {
        Bytes stream = support::compress_lzma(sample(0), settings);
        EXPECT_LT(stream.size(), sample(0).size() / 2);
        EXPECT_EQ(decompressed_by_xz(stream), sample(0)) << settings.literal_context_bits;
        EXPECT_EQ(support::settings_of_lzma_stream(stream), settings);
    }
}

TEST(Lzma, OneEncoderMakesTheSameStreamsAsFreshOnes)
{
    const LzmaSettings settings{1, 0, 0, 1 << 16};
    support::LzmaEncoder encoder(settings);
    for (int variant : {1, 2, 1})
    {
        std::span<const std::uint8_t> stream = encoder.compress(sample(variant));
        EXPECT_EQ(Bytes(stream.begin(), stream.end()), support::compress_lzma(sample(variant), settings));
    }
    EXPECT_EQ(decompressed_by_xz(encoder.compress(sample(2))), sample(2));
}

TEST(Lzma, RefusesImpossibleSettingsAndStreams)
{
    EXPECT_THROW(support::compress_lzma(sample(0), {4, 1, 0, 1 << 16}), std::runtime_error) << "lc + lp over 4";
    EXPECT_THROW(support::settings_of_lzma_stream(Bytes(13, 0)), std::runtime_error) << "a header and nothing else";
    Bytes stream = support::compress_lzma(sample(0), {0, 0, 0, 1 << 16});
    stream[0] = 225;
    EXPECT_THROW(support::settings_of_lzma_stream(stream), std::runtime_error);
}

} // namespace
