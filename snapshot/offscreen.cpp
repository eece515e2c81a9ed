// Surfaceless EGL context, checked program linking and framebuffer read-back for offscreen frames.
#include "offscreen.h"

#include <EGL/eglext.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>

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

bool has_extension(const char* list, std::string_view name)
{
    for (std::string_view rest = list ? list : ""; !rest.empty();)
    {
        std::size_t space = rest.find(' ');
        if (rest.substr(0, space) == name)
            return true;
        rest = space == std::string_view::npos ? std::string_view() : rest.substr(space + 1);
    }
    return false;
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

Context::~Context()
{
    if (display_ == EGL_NO_DISPLAY)
        return;
    eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (context_ != EGL_NO_CONTEXT)
        eglDestroyContext(display_, context_);
    eglTerminate(display_);
}

std::optional<Failure> Context::open()
{
    if (!has_extension(eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS), "EGL_MESA_platform_surfaceless"))
        return Failure{"no EGL display: the surfaceless platform is not offered"};
    auto get_platform_display =
        reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    EGLDisplay display = get_platform_display
                             ? get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr)
                             : EGL_NO_DISPLAY;
    if (display == EGL_NO_DISPLAY || !eglInitialize(display, nullptr, nullptr))
        return Failure{"no EGL display on the surfaceless platform"};
    display_ = display;

    const char* extensions = eglQueryString(display_, EGL_EXTENSIONS);
    if (!has_extension(extensions, "EGL_KHR_no_config_context") ||
        !has_extension(extensions, "EGL_KHR_surfaceless_context") || !eglBindAPI(EGL_OPENGL_API))
        return Failure{"no GL 4.5 core context: the EGL display cannot make config-less, surfaceless GL contexts"};

    const EGLint attributes[] = {
        EGL_CONTEXT_MAJOR_VERSION,           4,       EGL_CONTEXT_MINOR_VERSION, 5, EGL_CONTEXT_OPENGL_PROFILE_MASK,
        EGL_CONTEXT_OPENGL_CORE_PROFILE_BIT, EGL_NONE};
    context_ = eglCreateContext(display_, EGL_NO_CONFIG_KHR, EGL_NO_CONTEXT, attributes);
    if (context_ == EGL_NO_CONTEXT)
        return Failure{"no GL 4.5 core context from the EGL display"};
    if (!eglMakeCurrent(display_, EGL_NO_SURFACE, EGL_NO_SURFACE, context_))
        return Failure{"the GL 4.5 core context cannot be made current"};
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
    auto text = [](GLenum name) {
        const GLubyte* value = glGetString(name);
        return value ? std::string(reinterpret_cast<const char*>(value)) : std::string("unknown");
    };
    return text(GL_RENDERER) + "\n" + text(GL_VERSION) + "\n";
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
