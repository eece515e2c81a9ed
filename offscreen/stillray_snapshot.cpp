// stillray_snapshot: renders the picture the program carries into a PNG file, with no display,
// on the EGL platform and device chosen or the first that works, and can record beside it which
// GL renderer drew it; or lists the devices EGL offers.
#include "file_io.h"
#include "fragment_text.h"
#include "help_option.h"
#include "offscreen.h"
#include "png_file.h"
#include "vertex_text.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr const char* usage = "usage: stillray_snapshot [--size WxH] [--output FILE] [--renderer-output FILE] "
                              "[--platform device|surfaceless|default] [--device N] | --list-devices";

struct Options
{
    offscreen::Size size{1920, 1080};
    std::string output = "picture.png";
    std::string renderer_output; // none written when empty
    offscreen::Choice choice;    // the first platform that works, hardware devices first, when empty
    bool list_devices = false;
};

// A request the program cannot take, said with the usage: exit status 2, as for any command line
// that is not one.
int refuse(const std::string& message)
{
    std::fprintf(stderr, "stillray_snapshot: %s\n%s\n", message.c_str(), usage);
    return 2;
}

int fail(const std::string& message)
{
    std::fprintf(stderr, "stillray_snapshot: %s\n", message.c_str());
    return 1;
}

// Sets the option NAME from its value; a failure names the option and the value.
std::optional<offscreen::Failure> set_option(std::string_view name, const std::string& value, Options& options)
{
    if (name == "--output")
        options.output = value;
    else if (name == "--renderer-output")
        options.renderer_output = value;
    else if (name == "--size")
    {
        std::optional<offscreen::Size> size = offscreen::parse_size(value);
        if (!size)
            return offscreen::Failure{"--size " + value + " is not WIDTHxHEIGHT with both above zero"};
        options.size = *size;
    }
    else if (name == "--platform")
    {
        options.choice.platform = offscreen::parse_platform(value);
        if (!options.choice.platform)
            return offscreen::Failure{"--platform " + value + ": unknown platform, not device, surfaceless or default"};
    }
    else if (name == "--device")
    {
        options.choice.device = offscreen::parse_device_index(value);
        if (!options.choice.device)
            return offscreen::Failure{"--device " + value + " is not an index from 0 up"};
    }
    return std::nullopt;
}

// Fills options from "--list-devices" and from "--size WxH", "--output FILE", "--renderer-output
// FILE", "--platform NAME" and "--device N"; a failure names the offending argument.
std::optional<offscreen::Failure> parse_options(int argc, char** argv, Options& options)
{
    constexpr std::string_view with_values[] = {"--size", "--output", "--renderer-output", "--platform", "--device"};
    for (int i = 1; i < argc; ++i)
    {
        std::string_view name = argv[i];
        if (name == "--list-devices")
            options.list_devices = true;
        else if (std::find(std::begin(with_values), std::end(with_values), name) == std::end(with_values))
            return offscreen::Failure{"unknown option " + std::string(name)};
        else if (++i == argc)
            return offscreen::Failure{std::string(name) + " needs a value"};
        else if (std::optional<offscreen::Failure> failure = set_option(name, argv[i], options))
            return failure;
    }
    return std::nullopt;
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
    offscreen::Context context;
    if (std::optional<offscreen::Failure> failure = context.open(options.choice))
        return failure;
    offscreen::Size limit = context.max_size();
    const offscreen::Size& size = options.size;
    if (size.width > limit.width || size.height > limit.height)
        return offscreen::Failure{"size " + std::to_string(size.width) + "x" + std::to_string(size.height) +
                                  " exceeds the driver's limit of " + std::to_string(limit.width) + "x" +
                                  std::to_string(limit.height)};

    offscreen::Result<GLuint> program = offscreen::link_checked(vertex_text, fragment_text);
    if (auto* failure = std::get_if<offscreen::Failure>(&program))
        return *failure;
    support::Image<std::uint8_t> picture = offscreen::render<std::uint8_t>(std::get<GLuint>(program), size);
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
    if (support::answered_help(argc, argv, usage))
        return 0;
    Options options;
    if (std::optional<offscreen::Failure> failure = parse_options(argc, argv, options))
        return refuse(failure->message);
    std::optional<offscreen::Failure> failure = options.list_devices ? list_devices() : snapshot(options);
    return failure ? fail(failure->message) : 0;
}
