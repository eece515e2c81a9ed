// Offscreen rendering of the picture with no display and no GPU: a GL 4.5 core context on EGL's
// surfaceless platform, the program built with the desktop program's own calls, frames read back.
#pragma once

#include "image.h"
#include "picture_program.h"

#include <EGL/egl.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace offscreen {

// Why something could not be done, in one line or followed by the driver's log.
struct Failure
{
    std::string message;
};

template <class Value>
using Result = std::variant<Value, Failure>;

struct Size
{
    int width = 0;
    int height = 0;
};

// A rectangle of pixels counted from the lower-left corner, as GL counts them.
struct Region
{
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// Parses "WxH" with two positive decimal numbers and nothing else around them.
std::optional<Size> parse_size(std::string_view text);

// An EGL display on the surfaceless platform with a current GL 4.5 core context. The context
// stays current until the object goes.
class Context
{
public:
    Context() = default;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context();

    // Opens the display and makes the context current; a failure says which step failed.
    std::optional<Failure> open();

    // The largest framebuffer the driver both stores and draws into in full.
    Size max_size() const;

    // GL_RENDERER and GL_VERSION, a line each: the driver that draws, whose rounding a picture
    // carries down to the last bit.
    std::string renderer() const;

private:
    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
};

// Builds a program from the two texts through link_picture_program, then reads back both
// compile statuses and the link status; a failure carries the driver's log.
Result<GLuint> link_checked(const char* vertex_text, const char* fragment_text);

// Draws the program once with draw_picture into a framebuffer of the given size, with the
// viewport that size, and reads back the region (scissored to it, so nothing else runs), its
// top row first. Bytes come from an RGBA8 target, floats from an RGBA32F one.
template <class Channel>
support::Image<Channel> render(GLuint program, Size size, Region region);

// A failure if the GL recorded an error since the last call (out of memory for a large
// framebuffer, say), naming what was being done.
std::optional<Failure> gl_error(std::string_view doing);

// The whole framebuffer as the region.
template <class Channel>
support::Image<Channel> render(GLuint program, Size size)
{
    return render<Channel>(program, size, Region{0, 0, size.width, size.height});
}

} // namespace offscreen
