// Offscreen rendering of the picture with no display: a GL 4.5 core context on a GPU or on Mesa's
// software renderer through EGL, the program built with the desktop program's own calls, frames read back.
#pragma once

#include "image.h"
#include "picture_program.h"

#include <EGL/egl.h>

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

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

// The ways EGL gives a display with no window system, in the order Context::open tries them:
// the devices themselves (EGL_EXT_platform_device, which vendor drivers offer), Mesa's surfaceless
// platform, and the default display (whose platform Mesa takes from EGL_PLATFORM).
enum class Platform
{
    device,
    surfaceless,
    default_display
};

constexpr Platform all_platforms[] = {Platform::device, Platform::surfaceless, Platform::default_display};

// "device", "surfaceless" and "default", as the snapshot's --platform names them.
std::string_view platform_name(Platform platform);
std::optional<Platform> parse_platform(std::string_view name);

// Parses a device index: a decimal number from 0 up, and nothing else.
std::optional<int> parse_device_index(std::string_view text);

// Which display to open: with no platform, the first that works; on the device platform, with
// no device, the first that works among the hardware devices and then the software ones.
struct Choice
{
    std::optional<Platform> platform;
    std::optional<int> device; // an index into EGL's list of devices
};

// The indices of devices with these EGL device extensions in the order to try them: hardware
// first, then those that Mesa marks as software renderers, each group in EGL's order.
std::vector<int> device_preference(const std::vector<std::string>& device_extensions);

// An EGL display with a current GL 4.5 core context. The context stays current until the object
// goes.
class Context
{
public:
    Context() = default;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context();

    // Opens a display as chosen and makes the context current. Where nothing works, the one-line
    // failure names each platform (and device) tried and why it failed.
    std::optional<Failure> open(const Choice& choice = {});
    // The same with the client extensions given instead of those EGL offers: a platform whose
    // extension is missing from them is taken as not offered.
    std::optional<Failure> open(const Choice& choice, std::string_view client_extensions);

    // Where the open context is.
    Platform platform() const { return platform_; }
    int device() const { return device_; } // -1 off the device platform

    // The largest framebuffer the driver both stores and draws into in full.
    Size max_size() const;

    // GL_RENDERER and GL_VERSION, a line each: the driver that draws, whose rounding a picture
    // carries down to the last bit.
    std::string renderer() const;

    // One line for people: the renderer, its GL version and the EGL platform and device it was
    // opened through.
    std::string description() const;

private:
    // Each returns why it failed, or nothing once the context is current.
    std::optional<std::string> open_platform(Platform platform, const Choice& choice,
                                             std::string_view client_extensions);
    std::optional<std::string> open_device(const Choice& choice, std::string_view client_extensions);
    std::optional<std::string> open_display(EGLDisplay display);
    void close();

    EGLDisplay display_ = EGL_NO_DISPLAY;
    EGLContext context_ = EGL_NO_CONTEXT;
    Platform platform_ = Platform::device;
    int device_ = -1;
    bool software_device_ = false;
};

// A device EGL lists on the device platform, and what a context opened on it reports.
struct DeviceListing
{
    int index = 0;
    bool software = false;
    // The context's description, or why none opened.
    std::string renderer;
};

// Every device EGL lists, each opened in turn; a failure where the device platform is not offered.
Result<std::vector<DeviceListing>> list_devices();

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
