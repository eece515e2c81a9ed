// stillray-snapshot: renders the picture the program carries into a PNG file, with no display,
// on the EGL platform and device chosen or the first that works, and can record beside it which
// GL renderer drew it; or lists the devices EGL offers.
#include "file_io.h"
#include "fragment_text.h"
#include "offscreen.h"
#include "png_file.h"
#include "vertex_text.h"

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr const char* usage = "usage: stillray-snapshot [--size WxH] [--output FILE] [--renderer-output FILE] "
                              "[--platform device|surfaceless|default] [--device N] | --list-devices";

struct Options
{
    std::string size = "1920x1080";
    std::string output = "picture.png";
    std::string renderer_output; // none written when empty
    std::string platform;        // the first that works when empty
    std::string device;          // hardware first when empty
    bool list_devices = false;
};

int fail(const std::string& message)
{
    std::fprintf(stderr, "stillray-snapshot: %s\n", message.c_str());
    return 1;
}

// Fills options from "--list-devices" and from "--size WxH", "--output FILE", "--renderer-output
// FILE", "--platform NAME" and "--device N"; a failure names the offending argument.
std::optional<offscreen::Failure> parse_options(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i)
    {
        std::string_view name = argv[i];
        if (name == "--list-devices")
        {
            options.list_devices = true;
            continue;
        }
        std::string* value = name == "--size"              ? &options.size
                             : name == "--output"          ? &options.output
                             : name == "--renderer-output" ? &options.renderer_output
                             : name == "--platform"        ? &options.platform
                             : name == "--device"          ? &options.device
                                                           : nullptr;
        if (!value)
            return offscreen::Failure{"unknown option " + std::string(name) + "\n" + usage};
        if (++i == argc)
            return offscreen::Failure{std::string(name) + " needs a value\n" + usage};
        *value = argv[i];
    }
    return std::nullopt;
}

// The platform and device the options name; a failure for a name or index that cannot be one.
offscreen::Result<offscreen::Choice> choice_from(const Options& options)
{
    offscreen::Choice choice;
    if (!options.platform.empty())
    {
        choice.platform = offscreen::parse_platform(options.platform);
        if (!choice.platform)
            return offscreen::Failure{"unknown platform " + options.platform + ": device, surfaceless or default"};
    }
    if (!options.device.empty())
    {
        choice.device = offscreen::parse_device_index(options.device);
        if (!choice.device)
            return offscreen::Failure{"device " + options.device + " is not an index from 0 up"};
    }
    return choice;
}

// One line a device: its index, whether it is hardware or software, and its renderer.
std::optional<offscreen::Failure> list_devices()
{
    offscreen::Result<std::vector<offscreen::DeviceListing>> devices = offscreen::list_devices();
    if (auto* failure = std::get_if<offscreen::Failure>(&devices))
        return *failure;
    for (const offscreen::DeviceListing& device : std::get<std::vector<offscreen::DeviceListing>>(devices))
        std::printf("%d: %s: %s\n", device.index, device.software ? "software" : "hardware", device.renderer.c_str());
    return std::nullopt;
}

// Renders and writes the picture, then the renderer record, each file whole or not at all; every
// failure comes back as one message.
std::optional<offscreen::Failure> snapshot(const Options& options)
{
    std::optional<offscreen::Size> size = offscreen::parse_size(options.size);
    if (!size)
        return offscreen::Failure{"size " + options.size + " is not WIDTHxHEIGHT with both above zero"};
    offscreen::Result<offscreen::Choice> choice = choice_from(options);
    if (auto* failure = std::get_if<offscreen::Failure>(&choice))
        return *failure;

    offscreen::Context context;
    if (std::optional<offscreen::Failure> failure = context.open(std::get<offscreen::Choice>(choice)))
        return failure;
    offscreen::Size limit = context.max_size();
    if (size->width > limit.width || size->height > limit.height)
        return offscreen::Failure{"size " + options.size + " exceeds the driver's limit of " +
                                  std::to_string(limit.width) + "x" + std::to_string(limit.height)};

    offscreen::Result<GLuint> program = offscreen::link_checked(vertex_text, fragment_text);
    if (auto* failure = std::get_if<offscreen::Failure>(&program))
        return *failure;
    support::Image<std::uint8_t> picture = offscreen::render<std::uint8_t>(std::get<GLuint>(program), *size);
    if (std::optional<offscreen::Failure> failure = offscreen::gl_error("drawing the picture"))
        return failure;
    try
    {
        support::write_png(options.output, picture);
    }
    catch (const std::exception& error)
    {
        return offscreen::Failure{error.what()};
    }
    if (options.renderer_output.empty())
        return std::nullopt;
    try
    {
        support::write_file_atomically(options.renderer_output, context.renderer());
    }
    catch (const std::exception& error)
    {
        return offscreen::Failure{"cannot write " + options.renderer_output + ": " + error.what()};
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    std::optional<offscreen::Failure> failure = parse_options(argc, argv, options);
    if (!failure)
        failure = options.list_devices ? list_devices() : snapshot(options);
    return failure ? fail(failure->message) : 0;
}
