// RGB images and PNG files: blocks counted from the top row, differences described, and PNG
// files whose first row is the image's top row, checked against a file made here by hand.
#include "file_io.h"
#include "png_file.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <csignal>
#include <zlib.h>

namespace {

namespace fs = std::filesystem;
using Image = support::Image<std::uint8_t>;

// Three columns, two rows, every byte distinct; the top row is the first.
Image three_by_two()
{
    Image image{3, 2, {}};
    for (int i = 0; i < 18; ++i)
        image.rgb.push_back(std::uint8_t(i * 13));
    return image;
}

TEST(Image, BlocksAreCountedFromTheTopLeft)
{
    const Image image = three_by_two();
    EXPECT_EQ(image.region(1, 0, 2, 1).rgb, (std::vector<std::uint8_t>{39, 52, 65, 78, 91, 104}));
    EXPECT_EQ(image.lower_left(1, 1).rgb, (std::vector<std::uint8_t>{117, 130, 143})) << "the bottom row's first";
    EXPECT_EQ(image.lower_left(3, 2), image);
    EXPECT_THROW(image.region(2, 0, 2, 1), std::runtime_error);
    EXPECT_THROW(image.lower_left(1, 3), std::runtime_error);
    EXPECT_FALSE(image.uniform());
    EXPECT_TRUE((Image{2, 1, {5, 6, 7, 5, 6, 7}}).uniform());
}

// An L at scale 2: its stem down the left, its foot on the baseline, 7 font rows down; the text
// ends a glyph's advance on.
TEST(Image, TextIsDrawnUprightFromItsTopLeft)
{
    Image image{12, 18, std::vector<std::uint8_t>(12 * 18 * 3, 255)};
    EXPECT_EQ(support::draw_text(image, 0, 0, "L", {0, 0, 0}, 2), 2 * support::glyph_advance);
    for (int y = 0; y < image.height; ++y)
        for (int x = 0; x < image.width; ++x)
            EXPECT_EQ(image.rgb[std::size_t(y * image.width + x) * 3] == 0,
                      (x < 2 && y < 14) || (y >= 12 && y < 14 && x < 10))
                << x << ", " << y;
}

TEST(Image, DifferencesNameTheCountAndTheFirstPixelFromTheTopLeft)
{
    const Image expected = three_by_two();
    Image actual = expected;
    EXPECT_EQ(describe_difference(actual, expected), "");
    actual.rgb[3 * 4 + 1] = 0;
    actual.rgb[3 * 5] = 1;
    EXPECT_EQ(describe_difference(actual, expected),
              "2 of 6 pixels differ; the first at (1, 1) from the top left is (156, 0, 182), expected (156, 169, 182)");
    EXPECT_EQ(describe_difference(Image{3, 1, {}}, expected), "size 3x1, expected 3x2");
}

// A PNG file of the image as 8-bit RGB rows from the top, without filtering, made with zlib alone.
std::vector<std::uint8_t> hand_made_png(const Image& image)
{
    std::vector<std::uint8_t> file = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    auto big_endian = [](std::vector<std::uint8_t>& to, std::uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            to.push_back(std::uint8_t(value >> shift));
    };
    auto chunk = [&](const char* type, const std::vector<std::uint8_t>& data) {
        big_endian(file, std::uint32_t(data.size()));
        std::vector<std::uint8_t> typed(type, type + 4);
        typed.insert(typed.end(), data.begin(), data.end());
        file.insert(file.end(), typed.begin(), typed.end());
        big_endian(file, std::uint32_t(crc32(0, typed.data(), uInt(typed.size()))));
    };
    std::vector<std::uint8_t> header;
    big_endian(header, image.width);
    big_endian(header, image.height);
    header.insert(header.end(), {8, 2, 0, 0, 0}); // 8 bits, RGB, deflate, no filter, no interlace
    std::vector<std::uint8_t> rows;
    for (int y = 0; y < image.height; ++y)
    {
        rows.push_back(0); // filter type none
        rows.insert(rows.end(), image.rgb.begin() + y * image.width * 3, image.rgb.begin() + (y + 1) * image.width * 3);
    }
    std::vector<std::uint8_t> deflated(compressBound(uLong(rows.size())));
    uLongf deflated_size = deflated.size();
    compress(deflated.data(), &deflated_size, rows.data(), uLong(rows.size()));
    deflated.resize(deflated_size);
    chunk("IHDR", header);
    chunk("IDAT", deflated);
    chunk("IEND", {});
    return file;
}

class PngFile : public testing::Test
{
protected:
    std::vector<fs::path> entries() const
    {
        return {fs::directory_iterator(directory.path()), fs::directory_iterator()};
    }

    support::TempDir directory{"png-test"};
};

TEST_F(PngFile, TheFirstRowOfTheFileIsTheTopRow)
{
    const fs::path hand_made = directory.path() / "hand-made.png";
    support::write_file_atomically(hand_made, hand_made_png(three_by_two()));
    EXPECT_EQ(support::read_png(hand_made), three_by_two());

    const fs::path written = directory.path() / "written.png";
    support::write_png(written, three_by_two());
    EXPECT_EQ(support::read_png(written), three_by_two());
    EXPECT_EQ(entries().size(), 2u) << "no temporary file stays beside the pictures";
}

TEST_F(PngFile, FailuresAreReportedAndLeaveNothingBehind)
{
    const fs::path taken = directory.path() / "taken";
    fs::create_directory(taken);
    EXPECT_THROW(support::write_png(taken, three_by_two()), support::FileError);
    EXPECT_THROW(support::write_png(directory.path() / "missing" / "picture.png", three_by_two()), support::FileError);
    EXPECT_EQ(entries(), std::vector<fs::path>{taken});

    const fs::path not_png = directory.path() / "not.png";
    support::write_file_atomically(not_png, "GIF89a");
    EXPECT_THROW(support::read_png(not_png), support::FileError);
    EXPECT_THROW(support::read_png(directory.path() / "missing.png"), support::FileError);
}

// A write that fails once the file is open, at the size limit the process may write to a file
// (set only around the call), leaves the earlier picture whole and no other file.
TEST_F(PngFile, AWriteCutShortLeavesTheEarlierPictureWhole)
{
    const fs::path picture = directory.path() / "picture.png";
    support::write_png(picture, three_by_two());
    Image noise{128, 128, {}};
    for (std::uint32_t i = 0, value = 1; i < 128 * 128 * 3; ++i)
        noise.rgb.push_back(std::uint8_t((value = value * 1664525u + 1013904223u) >> 24));

    rlimit unlimited{};
    getrlimit(RLIMIT_FSIZE, &unlimited);
    rlimit cut = unlimited;
    cut.rlim_cur = 4096;
    auto earlier_signal = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &cut);
    EXPECT_THROW(support::write_png(picture, noise), support::FileError);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    std::signal(SIGXFSZ, earlier_signal);

    EXPECT_EQ(support::read_png(picture), three_by_two());
    EXPECT_EQ(entries(), std::vector<fs::path>{picture});
}

} // namespace
