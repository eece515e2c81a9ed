// Test support: the readable shader sources, edited copies of them, and runs on the GL driver.
#pragma once

#include "offscreen.h"

#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace shader_probe {

using Vec3 = std::array<float, 3>;

std::string readable_vertex();
std::string readable_fragment();

// The numbers of the readable fragment source's one statement that starts with start, up to its
// ';' and comments left out, in order; a vecN of one number gives it N times. They let a test
// follow an edit of the scene. Throws unless the statement occurs exactly once.
std::vector<double> statement_numbers(std::string_view start);

// text with its one occurrence of from replaced by to; throws unless from occurs exactly once.
std::string replaced(std::string text, std::string_view from, std::string_view to);

// The readable fragment source with gl_FragCoord counted from pixel corners (so pixel (x, y)
// has gl_FragCoord.xy = (x, y)), its main renamed picture_main, and probe_main appended as main.
std::string probe_source(std::string_view probe_main);

// Links the readable vertex source with the given fragment text; throws with the driver's log.
GLuint build(const std::string& fragment_text);
GLuint build(const char* vertex_text, const char* fragment_text);

// Runs probe_source(probe_main) over a one-row float framebuffer of the given width and returns
// frag_color of each column.
std::vector<Vec3> run_columns(std::string_view probe_main, int columns);

// Evaluates each vec3 expression in its own column; helpers holds GLSL functions they may
// call. Every expression is compiled in, so heavy functions belong in one run_columns main.
std::vector<Vec3> evaluate(std::string_view helpers, const std::vector<std::string>& expressions);

// The pixel at (x, y), counted from the lower-left corner as GL counts them.
template <class Channel>
std::array<Channel, 3> pixel(const support::Image<Channel>& image, int x, int y)
{
    std::size_t at = (std::size_t(image.height - 1 - y) * image.width + x) * 3;
    return {image.rgb[at], image.rgb[at + 1], image.rgb[at + 2]};
}

// Opens one GL context for every test of a suite, as the snapshot does by default; each test
// fails if it could not.
class DriverTest : public testing::Test
{
protected:
    static void SetUpTestSuite();
    static void TearDownTestSuite();
    void SetUp() override;

    // The open context's GL_RENDERER and GL_VERSION, as offscreen::Context::renderer gives them.
    static std::string renderer();

private:
    static std::unique_ptr<offscreen::Context> context_;
    static std::optional<offscreen::Failure> open_failure_;
};

} // namespace shader_probe
