// The answer every command of the build gives to `COMMAND --help`.
#include "help_option.h"

#include <cstdio>
#include <string_view>

namespace support {

bool answered_help(int argc, char** argv, const char* usage)
{
    if (argc != 2 || std::string_view(argv[1]) != "--help")
        return false;
    std::puts(usage);
    return true;
}

} // namespace support
