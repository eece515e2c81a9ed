// The answer every command of the build gives to `COMMAND --help`: its usage line on stdout.
#pragma once

namespace support {

// True, with usage and a newline written to stdout, when the command line is `--help` alone.
bool answered_help(int argc, char** argv, const char* usage);

} // namespace support
