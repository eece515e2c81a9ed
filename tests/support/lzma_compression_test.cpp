// .lzma streams: xz gives back exactly what was compressed, under each setting, the same data
// always makes the same stream, and the header records the settings.
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

// The settings that a .lzma stream's header records: lc, lp and pb share its first byte as
// (pb * 5 + lp) * 9 + lc, the dictionary size follows in little-endian order.
LzmaSettings settings_in_header(const Bytes& stream)
{
    EXPECT_GT(stream.size(), 13u);
    return {std::uint32_t(stream[0] % 9), std::uint32_t(stream[0] / 9 % 5), std::uint32_t(stream[0] / 45),
            std::uint32_t(stream[1]) | std::uint32_t(stream[2]) << 8 | std::uint32_t(stream[3]) << 16 |
                std::uint32_t(stream[4]) << 24};
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
        EXPECT_EQ(settings_in_header(stream), settings);
    }
}

TEST(Lzma, TheSameDataAlwaysMakesTheSameStream)
{
    const LzmaSettings settings{1, 0, 0, 1 << 16};
    Bytes first = support::compress_lzma(sample(1), settings);
    EXPECT_NE(support::compress_lzma(sample(2), settings), first);
    EXPECT_EQ(support::compress_lzma(sample(1), settings), first);
    EXPECT_EQ(decompressed_by_xz(support::compress_lzma(sample(2), settings)), sample(2));
}

TEST(Lzma, RefusesImpossibleSettings)
{
    EXPECT_THROW(support::compress_lzma(sample(0), {4, 1, 0, 1 << 16}), std::runtime_error) << "lc + lp over 4";
}

} // namespace
