// The readelf check (see readelf_check.h).
#include "readelf_check.h"

#include "packing.h"
#include "process.h"

#include <cstdlib>

namespace executable_packer {

void check_with_readelf(const std::string& path)
{
    const char* directories = std::getenv("PATH");
    support::Finished readelf =
        support::run({support::program_on_path("readelf", directories ? directories : "").string(), "-lWd", path});
    std::string output = readelf.err + readelf.out;
    if (!readelf.status.clean_exit() || output.find("Warning") != std::string::npos ||
        output.find("Error") != std::string::npos)
        throw PackingError("readelf does not accept " + path + ":\n" + output);
}

} // namespace executable_packer
