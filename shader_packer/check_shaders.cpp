// check_shaders SOURCE...: checks the shader stages as written with glslang, each for its stage
// and linked as one program, before the build packs them (see shader_packer::check_sources).
#include "glslang_check.h"

#include <iostream>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::cerr << "usage: check_shaders SOURCE...\n";
        return 2;
    }
    std::vector<std::filesystem::path> sources(argv + 1, argv + argc);
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
