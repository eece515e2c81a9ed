// GL contexts through EGL's device or surfaceless platform or its default display, checked program
// linking and framebuffer read-back for offscreen frames.
#include "offscreen.h"

#include <EGL/eglext.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace offscreen {

namespace {

// A positive decimal number that fills the whole text.
std::optional<int> parse_positive(std::string_view text)
{
    int value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value <= 0)
        return std::nullopt;
    return value;
}

// The text of an EGL string query, empty where it gave none.
std::string_view egl_string(const char* value)
{
    return value ? value : "";
}

bool has_extension(std::string_view list, std::string_view name)
{
    for (std::string_view rest = list; !rest.empty();)
    {
        std::size_t space = rest.find(' ');
        if (rest.substr(0, space) == name)
            return true;
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    }
    return false;
}

std::string join(const std::vector<std::string>& parts, std::string_view separator)
{
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : std::string(separator)) + part;
    return text;
}

// The name of the last EGL error, in parentheses.
std::string egl_error()
{
    static constexpr std::pair<EGLint, const char*> names[] = {
        {EGL_SUCCESS, "EGL_SUCCESS"},
        {EGL_NOT_INITIALIZED, "EGL_NOT_INITIALIZED"},
        {EGL_BAD_ACCESS, "EGL_BAD_ACCESS"},
        {EGL_BAD_ALLOC, "EGL_BAD_ALLOC"},
        {EGL_BAD_ATTRIBUTE, "EGL_BAD_ATTRIBUTE"},
        {EGL_BAD_CONFIG, "EGL_BAD_CONFIG"},
        {EGL_BAD_CONTEXT, "EGL_BAD_CONTEXT"},
        {EGL_BAD_CURRENT_SURFACE, "EGL_BAD_CURRENT_SURFACE"},
        {EGL_BAD_DISPLAY, "EGL_BAD_DISPLAY"},
        {EGL_BAD_MATCH, "EGL_BAD_MATCH"},
        {EGL_BAD_NATIVE_PIXMAP, "EGL_BAD_NATIVE_PIXMAP"},
        {EGL_BAD_NATIVE_WINDOW, "EGL_BAD_NATIVE_WINDOW"},
        {EGL_BAD_PARAMETER, "EGL_BAD_PARAMETER"},
        {EGL_BAD_SURFACE, "EGL_BAD_SURFACE"},
        {EGL_CONTEXT_LOST, "EGL_CONTEXT_LOST"},
    };
    EGLint error = eglGetError();
    for (auto [code, name] : names)
        if (code == error)
            return std::string("(") + name + ")";
    char code[24];
    std::snprintf(code, sizeof code, "(EGL error 0x%04x)", unsigned(error));
    return code;
}

// The entry points of the device platform and of platform displays, null where EGL lacks them.
struct PlatformFunctions
{
    PFNEGLGETPLATFORMDISPLAYEXTPROC get_platform_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    PFNEGLQUERYDEVICESEXTPROC query_devices =
        reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
    PFNEGLQUERYDEVICESTRINGEXTPROC query_device_string =
        reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(eglGetProcAddress("eglQueryDeviceStringEXT"));
};

bool device_platform_offered(std::string_view client_extensions, const PlatformFunctions& egl)
{
    return (has_extension(client_extensions, "EGL_EXT_device_enumeration") ||
            has_extension(client_extensions, "EGL_EXT_device_base")) &&
           has_extension(client_extensions, "EGL_EXT_platform_device") && egl.get_platform_display && egl.query_devices;
}

constexpr const char* device_platform_missing =
    "not offered (no EGL_EXT_platform_device with EGL_EXT_device_enumeration)";

std::vector<EGLDeviceEXT> enumerate_devices(const PlatformFunctions& egl)
{
    EGLint count = 0;
    if (!egl.query_devices(0, nullptr, &count) || count <= 0)
        return {};
    std::vector<EGLDeviceEXT> devices(count);
    if (!egl.query_devices(count, devices.data(), &count))
        return {};
    devices.resize(std::max(count, 0));
    return devices;
}

std::string device_extensions(const PlatformFunctions& egl, EGLDeviceEXT device)
{
    return std::string(egl_string(egl.query_device_string ? egl.query_device_string(device, EGL_EXTENSIONS) : nullptr));
}

bool software_device(std::string_view extensions)
{
    return has_extension(extensions, "EGL_MESA_device_software");
}

std::string_view platform_label(Platform platform)
{
    switch (platform)
    {
    case Platform::device:
        return "device platform";
    case Platform::surfaceless:
        return "surfaceless platform";
    case Platform::default_display:
        break;
    }
    return "default display";
}

std::string gl_string(GLenum name)
{
    const GLubyte* value = glGetString(name);
    return value ? std::string(reinterpret_cast<const char*>(value)) : std::string("unknown");
}

std::string renderer_and_version()
{
    return gl_string(GL_RENDERER) + ", GL " + gl_string(GL_VERSION);
}

// The info log of a shader or a program, through its pair of GL queries.
template <class GetValue, class GetLog>
std::string info_log(GLuint object, GetValue get_value, GetLog get_log)
{
    GLint length = 0;
    get_value(object, GL_INFO_LOG_LENGTH, &length);
    std::string log(std::max(length, 1), '\0');
    get_log(object, length, nullptr, log.data());
    log.resize(std::strlen(log.c_str()));
    return log;
}

// A failure naming the first attached stage that did not compile, if any did not.
std::optional<Failure> compile_failure(GLuint program)
{
    GLuint shaders[2] = {};
    GLsizei count = 0;
    glGetAttachedShaders(program, 2, &count, shaders);
    for (GLsizei i = 0; i < count; ++i)
    {
        GLint compiled = GL_FALSE;
        GLint type = 0;
        glGetShaderiv(shaders[i], GL_COMPILE_STATUS, &compiled);
        glGetShaderiv(shaders[i], GL_SHADER_TYPE, &type);
        if (!compiled)
        {
            const char* stage = type == GL_VERTEX_SHADER ? "vertex" : "fragment";
            return Failure{std::string(stage) + " shader does not compile:\n" +
                           info_log(shaders[i], glGetShaderiv, glGetShaderInfoLog)};
        }
    }
    return std::nullopt;
}

template <class Channel>
struct PixelFormat;

template <>
struct PixelFormat<std::uint8_t>
{
    static constexpr GLenum storage = GL_RGBA8;
    static constexpr GLenum type = GL_UNSIGNED_BYTE;
};

template <>
struct PixelFormat<float>
{
    static constexpr GLenum storage = GL_RGBA32F;
    static constexpr GLenum type = GL_FLOAT;
};

// A framebuffer with one colour renderbuffer, bound for drawing and reading while it lives.
class Target
{
public:
    Target(Size size, GLenum storage)
    {
        glGenFramebuffers(1, &framebuffer_);
        glBindFramebuffer(GL_FRAMEBUFFER, framebuffer_);
        glGenRenderbuffers(1, &renderbuffer_);
        glBindRenderbuffer(GL_RENDERBUFFER, renderbuffer_);
        glRenderbufferStorage(GL_RENDERBUFFER, storage, size.width, size.height);
        glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, renderbuffer_);
        glViewport(0, 0, size.width, size.height);
    }
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;
    ~Target()
    {
        glBindFramebuffer(GL_FRAMEBUFFER, 0);
        glDeleteRenderbuffers(1, &renderbuffer_);
        glDeleteFramebuffers(1, &framebuffer_);
    }

private:
    GLuint framebuffer_ = 0;
    GLuint renderbuffer_ = 0;
};

} // namespace

std::optional<Size> parse_size(std::string_view text)
{
    std::size_t cross = text.find('x');
    if (cross == std::string_view::npos)
        return std::nullopt;
    std::optional<int> width = parse_positive(text.substr(0, cross));
    std::optional<int> height = parse_positive(text.substr(cross + 1));
    if (!width || !height)
        return std::nullopt;
    return Size{*width, *height};
}

std::string_view platform_name(Platform platform)
{
    switch (platform)
    {
    case Platform::device:
        return "device";
    case Platform::surfaceless:
        return "surfaceless";
    case Platform::default_display:
        break;
    }
    return "default";
}

std::optional<Platform> parse_platform(std::string_view name)
{
    for (Platform platform : all_platforms)
        if (platform_name(platform) == name)
            return platform;
    return std::nullopt;
}

std::optional<int> parse_device_index(std::string_view text)
{
    if (text == "0")
        return 0;
    if (text.starts_with('0'))
        return std::nullopt;
    return parse_positive(text);
}

std::vector<int> device_preference(const std::vector<std::string>& device_extensions)
{
    std::vector<int> order;
    for (bool software : {false, true})
        for (std::size_t i = 0; i < device_extensions.size(); ++i)
            if (software_device(device_extensions[i]) == software)
                order.push_back(int(i));
    return order;
}

Context::~Context()
{
    close();
}

void Context::close()
{
    if (display_ == EGL_NO_DISPLAY)
        return;
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context_ != EGL_NO_CONTEXT)
        eglDestroyContext(display_, context_);
    eglTerminate(display_);
    display_ = EGL_NO_DISPLAY;
    context_ = EGL_NO_CONTEXT;
}

std::optional<Failure> Context::open(const Choice& choice)
{
    return open(choice, egl_string(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS)));
}

std::optional<Failure> Context::open(const Choice& choice, std::string_view client_extensions)
{
    close();
    if (choice.device && choice.platform && *choice.platform != Platform::device)
        return Failure{"a device is chosen on the device platform, not on the " +
                       std::string(platform_label(*choice.platform))};
    std::vector<Platform> platforms(std::begin(all_platforms), std::end(all_platforms));
    if (choice.platform || choice.device)
        platforms = {choice.platform.value_or(Platform::device)};
    std::vector<std::string> reasons;
    for (Platform platform : platforms)
    {
        std::optional<std::string> reason = open_platform(platform, choice, client_extensions);
        if (!reason)
        {
            platform_ = platform;
            return std::nullopt;
        }
        reasons.push_back(std::string(platform_label(platform)) + ": " + *reason);
    }
    return Failure{"no GL 4.5 core context: " + join(reasons, "; ")};
}

std::optional<std::string> Context::open_platform(Platform platform, const Choice& choice,
                                                  std::string_view client_extensions)
{
    device_ = -1;
    software_device_ = false;
    switch (platform)
    {
    case Platform::device:
        return open_device(choice, client_extensions);
    case Platform::surfaceless:
    {
        auto get_platform_display = PlatformFunctions().get_platform_display;
        if (!has_extension(client_extensions, "EGL_MESA_platform_surfaceless") || !get_platform_display)
            return "not offered (no EGL_MESA_platform_surfaceless)";
        return open_display(get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr));
    }
    case Platform::default_display:
        break;
    }
    return open_display(eglGetDisplay(EGL_DEFAULT_DISPLAY));
}

std::optional<std::string> Context::open_device(const Choice& choice, std::string_view client_extensions)
{
    PlatformFunctions egl;
    if (!device_platform_offered(client_extensions, egl))
        return device_platform_missing;
    std::vector<EGLDeviceEXT> devices = enumerate_devices(egl);
    std::vector<std::string> extensions;
    for (EGLDeviceEXT device : devices)
        extensions.push_back(device_extensions(egl, device));
    if (choice.device && std::size_t(*choice.device) >= devices.size())
        return "there is no device " + std::to_string(*choice.device) + ", EGL lists " +
               std::to_string(devices.size()) + (devices.size() == 1 ? " device" : " devices");
    if (devices.empty())
        return "EGL lists no devices";
    std::vector<int> order = choice.device ? std::vector<int>{*choice.device} : device_preference(extensions);
    std::vector<std::string> reasons;
    for (int index : order)
    {
        std::optional<std::string> reason =
            open_display(egl.get_platform_display(EGL_PLATFORM_DEVICE_EXT, devices[index], nullptr));
        if (!reason)
        {
            device_ = index;
            software_device_ = software_device(extensions[index]);
            return std::nullopt;
        }
        reasons.push_back("device " + std::to_string(index) + ": " + *reason);
    }
    return join(reasons, ", ");
}

std::optional<std::string> Context::open_display(EGLDisplay display)
{
    if (display == EGL_NO_DISPLAY)
        return "no display " + egl_error();
    if (!eglInitialize(display, nullptr, nullptr))
        return "eglInitialize failed " + egl_error();

    std::string_view extensions = egl_string(eglQueryString(display, EGL_EXTENSIONS));
    const EGLint attributes[] = {
        EGL_CONTEXT_MAJOR_VERSION,           4,       EGL_CONTEXT_MINOR_VERSION, 5, EGL_CONTEXT_OPENGL_PROFILE_MASK,
        EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
    EGLContext context = EGL_NO_CONTEXT;
    std::optional<std::string> reason;
    if (!has_extension(extensions, "EGL_KHR_no_config_context") ||
        !has_extension(extensions, "EGL_KHR_surfaceless_context"))
        reason = "the display cannot make config-less, surfaceless contexts";
    else if (!eglBindAPI(EGL_OPENGL_API))
        reason = "no desktop GL " + egl_error();
    else if ((context = eglCreateContext(display, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes)) == EGL_NO_CONTEXT)
        reason = "no GL 4.5 core context from the display " + egl_error();
    else if (!eglMakeCurrent(display, EGL_NO_SURFACE, EGL_NO_SURFACE, context))
    {
        reason = "the context cannot be made current " + egl_error();
        eglDestroyContext(display, context);
    }
    if (reason)
    {
        eglTerminate(display);
        return reason;
    }
    display_ = display;
    context_ = context;
    return std::nullopt;
}

Size Context::max_size() const
{
    GLint renderbuffer = 0;
    GLint viewport[2] = {};
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE, &renderbuffer);
    glGetIntegerv(GL_MAX_VIEWPORT_DIMS, viewport);
    return Size{std::min(renderbuffer, viewport[0]), std::min(renderbuffer, viewport[1])};
}

std::string Context::renderer() const
{
    return gl_string(GL_RENDERER) + "\n" + gl_string(GL_VERSION) + "\n";
}

std::string Context::description() const
{
    std::string where = "EGL's " + std::string(platform_label(platform_));
    if (platform_ == Platform::device)
        where += ", device " + std::to_string(device_) + (software_device_ ? " (software)" : " (hardware)");
    return renderer_and_version() + ", through " + where;
}

Result<std::vector<DeviceListing>> list_devices()
{
    PlatformFunctions egl;
    if (!device_platform_offered(egl_string(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS)), egl))
        return Failure{std::string("no devices to list: the device platform is ") + device_platform_missing};
    std::vector<EGLDeviceEXT> devices = enumerate_devices(egl);
    std::vector<DeviceListing> listings;
    for (std::size_t i = 0; i < devices.size(); ++i)
    {
        DeviceListing listing{int(i), software_device(device_extensions(egl, devices[i])), {}};
        Context context;
        std::optional<Failure> failure = context.open({Platform::device, int(i)});
        listing.renderer = failure ? failure->message : renderer_and_version();
        listings.push_back(listing);
    }
    return listings;
}

Result<GLuint> link_checked(const char* vertex_text, const char* fragment_text)
{
    const char* const sources[2] = {vertex_text, fragment_text};
    GLuint program = link_picture_program(sources);
    if (std::optional<Failure> failure = compile_failure(program))
        return *failure;
    GLint linked = GL_FALSE;
    glGetProgramiv(program, GL_LINK_STATUS, &linked);
    if (!linked)
        return Failure{"the shaders do not link:\n" + info_log(program, glGetProgramiv, glGetProgramInfoLog)};
    return program;
}

std::optional<Failure> gl_error(std::string_view doing)
{
    GLenum first = glGetError();
    if (first == GL_NO_ERROR)
        return std::nullopt;
    while (glGetError() != GL_NO_ERROR)
        ;
    char code[16];
    std::snprintf(code, sizeof code, "0x%04x", first);
    return Failure{"the GL failed " + std::string(doing) + " (error " + code + ")"};
}

template <class Channel>
support::Image<Channel> render(GLuint program, Size size, Region region)
{
    Target target(size, PixelFormat<Channel>::storage);
    GLuint vertex_array = 0;
    glGenVertexArrays(1, &vertex_array);
    glEnable(GL_SCISSOR_TEST);
    glScissor(region.x, region.y, region.width, region.height);
    draw_picture(program, vertex_array);
    glDisable(GL_SCISSOR_TEST);

    support::Image<Channel> image{region.width, region.height,
                                  std::vector<Channel>(std::size_t(region.width) * region.height * 3)};
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(region.x, region.y, region.width, region.height, GL_RGB, PixelFormat<Channel>::type, image.rgb.data());
    glDeleteVertexArrays(1, &vertex_array);
    // GL hands the rows over from the bottom up.
    const std::ptrdiff_t row = std::ptrdiff_t(region.width) * 3;
    for (int top = 0, bottom = region.height - 1; top < bottom; ++top, --bottom)
        std::swap_ranges(image.rgb.begin() + top * row, image.rgb.begin() + (top + 1) * row,
                         image.rgb.begin() + bottom * row);
    return image;
}

template support::Image<std::uint8_t> render(GLuint, Size, Region);
template support::Image<float> render(GLuint, Size, Region);

} // namespace offscreen
