// check_shaders SOURCE...: checks the shader stages as written with glslang, each for its stage
// and linked as one program, before the build packs them (see shader_packer::check_sources).
#include "glslang_check.h"
#include "help_option.h"

#include <algorithm>
#include <iostream>
#include <string_view>
#include <vector>

int main(int argc, char** argv)
{
    constexpr char usage[] = "usage: check_shaders SOURCE...";
    if (support::answered_help(argc, argv, usage))
        return 0;
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    // glslangValidator would take an option here for one of its own.
    auto option =
        std::find_if(arguments.begin(), arguments.end(), [](std::string_view a) { return a.starts_with('-'); });
    if (arguments.empty() || option != arguments.end())
    {
        std::cerr << "check_shaders: "
                  << (arguments.empty() ? "no SOURCE given" : std::string(*option) + " is no option") << "\n"
                  << usage << "\n";
        return 2;
    }
    std::vector<std::filesystem::path> sources(arguments.begin(), arguments.end());
    try
    {
        return shader_packer::check_sources(sources, std::cerr) ? 0 : 1;
    }
    catch (const std::exception& error)
    {
        std::cerr << "check_shaders: error: " << error.what() << "\n";
        return 1;
    }
}
