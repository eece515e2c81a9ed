// pack_shader [--readable] [--keep NAMES] [--rename-interface] [--integer-arguments FUNCTIONS]
// [--names RECORD [--tune --toolchain WORDS]] [--lines RECORD] NAME INPUT OUTPUT: writes a C++
// header holding the GLSL text of INPUT, in compact form unless --readable, as `constexpr char
// NAME[]`, its one-letter names from the record or, with --tune, tuned against the packed
// executable's coder, and with --lines the source line of each compact character (see
// shader_packer::run_command_line).
#include "context_mixing.h"
#include "shader_packer.h"

#include <unistd.h>

#include <iostream>
#include <vector>

namespace {

// The text's code length in bits in the coder that the packed executable carries it in, with the
// models that the packing step's search starts from.
std::size_t code_length_in_bits(const std::string& text)
{
    static const coder::ModelSet models = coder::default_models();
    std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    return static_cast<std::size_t>(8 * coder::code_length(bytes, models));
}

} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    return shader_packer::run_command_line(arguments, std::cout, std::cerr, code_length_in_bits,
                                           support::is_terminal(STDERR_FILENO));
}
