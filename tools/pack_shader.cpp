// pack_shader [--readable] NAME INPUT OUTPUT: writes a C++ header holding the GLSL text of INPUT,
// in compact form unless --readable, as `constexpr char NAME[]`.
#include "shader_packer.h"

#include <iostream>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    return shader_packer::run_command_line(arguments, std::cerr);
}
