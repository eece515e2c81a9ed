// Whole 1920x1080 pictures on the real GL driver: the carried compact text against the readable
// source, and the picture, drawn here and by stillray_snapshot on each EGL platform, against the
// committed reference image: bit for bit on the renderer that made it, elsewhere through a
// comparison shown to accept rounding differences.
#include "file_io.h"
#include "fragment_text.h"
#include "png_file.h"
#include "process.h"
#include "shader_probe.h"
#include "vertex_text.h"

#include <cmath>
#include <cstring>
#include <sstream>

namespace {

using shader_probe::DriverTest;
using support::Image;

constexpr offscreen::Size full_size{1920, 1080};

// A whole frame of the program, which is then deleted.
Image<std::uint8_t> full_frame(GLuint program)
{
    Image<std::uint8_t> frame = offscreen::render<std::uint8_t>(program, full_size);
    glDeleteProgram(program);
    return frame;
}

Image<std::uint8_t> reference_picture()
{
    return support::read_png(STILLRAY_REFERENCE_PICTURE);
}

// The comparison on other renderers. The ground and the ball group carry a grain of sub-pixel spheres whose radii
// follow a hash of the exact scene coordinates, and it tilts the normals: a difference of one
// float step anywhere before the hash (a driver's sin or cos, say) deals a new grain pattern,
// and single pixels then differ by tens of levels, a few per cent of them by more than 8. The
// pattern's statistics stay the same, so averaged over 40x40 tiles (48 x 27 of them) the noise
// falls to about one level, while a real change moves whole regions the same way. Measured on
// llvmpipe: a new grain pattern gives tiles up to 1.5 levels apart, at most one above 1 level;
// real changes (one light's colour, the shadows' sharpness, the bounce's weight) give 21 to 330
// tiles above 1 level, the smallest of them tiles 6.6 levels apart. So: the same picture when no tile differs by more
// than 3 levels in any channel and at most 5 tiles differ by more than 1 level.
struct TileDifference
{
    double largest = 0; // levels of 255, the largest per-channel tile mean difference
    int tiles_over_one_level = 0;
};

constexpr int tile_side = 40;

TileDifference compare_tiles(const Image<std::uint8_t>& a, const Image<std::uint8_t>& b)
{
    TileDifference difference;
    int width = a.width;
    for (int tile_y = 0; tile_y + tile_side <= a.height; tile_y += tile_side)
        for (int tile_x = 0; tile_x + tile_side <= width; tile_x += tile_side)
        {
            double sum[3] = {};
            for (int y = tile_y; y < tile_y + tile_side; ++y)
                for (int x = tile_x; x < tile_x + tile_side; ++x)
                    for (int c = 0; c < 3; ++c)
                    {
                        std::size_t at = (std::size_t(y) * width + x) * 3 + c;
                        sum[c] += int(a.rgb[at]) - int(b.rgb[at]);
                    }
            double tile = 0;
            for (double channel : sum)
                tile = std::max(tile, std::abs(channel) / (tile_side * tile_side));
            difference.largest = std::max(difference.largest, tile);
            difference.tiles_over_one_level += tile > 1.0;
        }
    return difference;
}

bool same_picture(const TileDifference& difference)
{
    return difference.largest <= 3.0 && difference.tiles_over_one_level <= 5;
}

std::ostream& operator<<(std::ostream& out, const TileDifference& difference)
{
    return out << "largest tile difference " << difference.largest << " levels, " << difference.tiles_over_one_level
               << " tiles over 1 level";
}

// Whether a frame is the reference picture, given the record (GL_RENDERER and GL_VERSION lines)
// of the renderer that drew it. The renderer recorded beside the reference drew it from the same
// texts, so from it every byte must come out the same: the tile comparison would let through
// changes as real as a march budget of 64 or a bounce weight of 0.11. From any other renderer it
// is the tile comparison's call.
testing::AssertionResult is_the_reference(const Image<std::uint8_t>& frame, const std::string& drawn_by)
{
    Image<std::uint8_t> reference = reference_picture();
    if (frame.width != reference.width || frame.height != reference.height)
        return testing::AssertionFailure() << "the frame is " << frame.width << "x" << frame.height;
    std::ostringstream verdict;
    bool same = false;
    if (drawn_by == support::read_text(STILLRAY_REFERENCE_RENDERER))
    {
        std::size_t differing = 0;
        for (std::size_t i = 0; i < frame.rgb.size(); ++i)
            differing += frame.rgb[i] != reference.rgb[i];
        same = differing == 0;
        verdict << differing << " bytes differ from the reference";
    }
    else
    {
        TileDifference difference = compare_tiles(frame, reference);
        same = same_picture(difference);
        verdict << difference;
    }
    verdict << ", drawn by\n" << drawn_by;
    return (same ? testing::AssertionSuccess() : testing::AssertionFailure()) << verdict.str();
}

class Picture : public DriverTest
{};

TEST_F(Picture, CompactTextDrawsTheReadableFrameBitForBit)
{
    GLuint compact = shader_probe::build(vertex_text, fragment_text);
    GLuint readable = shader_probe::build(shader_probe::readable_fragment());
    Image<float> compact_frame = offscreen::render<float>(compact, full_size);
    Image<float> readable_frame = offscreen::render<float>(readable, full_size);
    std::size_t differing = 0;
    for (std::size_t i = 0; i < compact_frame.rgb.size(); ++i)
        differing += std::memcmp(&compact_frame.rgb[i], &readable_frame.rgb[i], sizeof(float)) != 0;
    EXPECT_EQ(differing, 0u) << "channels that differ between the compact and the readable text";
}

TEST_F(Picture, MatchesTheCommittedReference)
{
    Image<std::uint8_t> frame = full_frame(shader_probe::build(vertex_text, fragment_text)); // as the snapshot draws
    EXPECT_TRUE(is_the_reference(frame, renderer()));
}

// sin and cos two float steps off, as another driver's may be: the grain comes out all new.
TEST_F(Picture, ComparisonAcceptsADifferentlyRoundedDriver)
{
    std::string rounded =
        shader_probe::replaced(shader_probe::readable_fragment(), "    vec3 c = cos(a);\n    vec3 s = sin(a);",
                               "    vec3 c = cos(a) * 1.0000002;\n    vec3 s = sin(a) * 0.9999998;");
    Image<std::uint8_t> frame = full_frame(shader_probe::build(rounded));
    Image<std::uint8_t> reference = reference_picture();
    std::size_t far_apart = 0;
    for (std::size_t i = 0; i < frame.rgb.size(); ++i)
        far_apart += std::abs(int(frame.rgb[i]) - int(reference.rgb[i])) > 8;
    EXPECT_GT(far_apart, frame.rgb.size() / 100) << "the rounding should change single pixels a lot";
    TileDifference difference = compare_tiles(frame, reference);
    EXPECT_TRUE(same_picture(difference)) << difference;

    // Drawn by the recorded renderer, such a frame is a fault; by any other, the same picture.
    EXPECT_FALSE(is_the_reference(frame, support::read_text(STILLRAY_REFERENCE_RENDERER)));
    EXPECT_TRUE(is_the_reference(frame, "another renderer\nanother version\n"));
}

// stillray_snapshot as `make screenshot` runs it, on each EGL platform that Mesa offers even
// without a GPU, judged by the renderer record it writes beside the picture.
class SnapshotPicture : public testing::TestWithParam<const char*>
{};

TEST_P(SnapshotPicture, IsTheReference)
{
    support::TempDir directory("snapshot-picture");
    std::string picture = directory.path() / "picture.png", record = directory.path() / "picture.renderer";
    support::Finished snapshot =
        support::run({STILLRAY_SNAPSHOT, "--platform", GetParam(), "--output", picture, "--renderer-output", record});
    ASSERT_TRUE(snapshot.status.clean_exit()) << snapshot.status.text() << ": " << snapshot.err;
    EXPECT_TRUE(is_the_reference(support::read_png(picture), support::read_text(record)));
}

INSTANTIATE_TEST_SUITE_P(Picture, SnapshotPicture, testing::Values("device", "surfaceless"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });

} // namespace
