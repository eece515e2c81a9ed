// The packing step's size report: what each byte of the program costs in the coder's stream,
// gathered by the program's parts (headers, tables, each function's code, the shader texts) and
// by the lines of the shader sources, written as one self-contained page and drawn as a picture.
#pragma once

#include "context_mixing.h"
#include "image.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace executable_packer::size_report {

// A shader text that the program may carry, with the source line of each of its characters (what
// pack_shader writes beside the text's header).
struct ShaderSource
{
    std::string text_name;        // the program's object that holds the text and its closing NUL
    std::string source_name;      // the source file, as the page names it
    std::string source;           // the source as written
    std::string text_fingerprint; // support::fingerprint of the text
    std::vector<int> lines;       // the 1-based source line of each character of the text
};

// The shader source that a source lines record of pack_shader's describes, read from where the
// record says. Throws support::FileError, and std::runtime_error for a damaged record, naming its
// file and line.
ShaderSource read_shader_source(const std::filesystem::path& lines_record);

struct Range
{
    std::size_t offset = 0;
    std::size_t size = 0;
};

// A part of the program. Every byte of the program lies in one range of one part.
struct ProgramPart
{
    std::string name;
    std::vector<Range> ranges; // in file order
    std::size_t bytes = 0;
    double bits = 0; // what its bytes cost together
};

// A shader text in the program, and what it costs by the lines of its source.
struct ShaderCost
{
    ShaderSource source;
    std::size_t offset = 0;        // where the text starts in the program
    std::vector<double> line_bits; // what the characters from each line cost, line 1 first
    double end_bits = 0;           // the closing NUL, which no line writes
};

// One way of packing, for the summary.
struct Way
{
    std::string name;
    std::size_t stub = 0;
    std::size_t payload = 0;
};

struct SizeReport
{
    std::string program_name;
    std::vector<std::uint8_t> program;
    std::vector<double> costs;      // what each byte costs in bits, with the models that ship
    std::size_t contexts = 0;       // how many the models have: 4 bytes each in the decoder's payload
    std::vector<ProgramPart> parts; // in file order of their first bytes
    std::vector<ShaderCost> shaders;
    // Filled in by the packing step: the packed file's name, each way it packed, the one shipped.
    std::string packed_name;
    std::vector<Way> ways;
    std::string shipped;
};

// Measures the program with the models in one pass of the coder. Its parts come from its own
// headers and from the section headers and symbols of linked: the file it was trimmed from, with
// the same addresses, or the program itself; without sections there are only the parts that the
// headers name. The shader texts are found by name among the symbols, those absent left out.
// Throws elf::Malformed for a damaged file, std::runtime_error when a text's lines were written
// for another text than the program holds.
SizeReport measure(std::span<const std::uint8_t> program, std::span<const std::uint8_t> linked,
                   const coder::ModelSet& models, const std::vector<ShaderSource>& shaders);

// The report as one HTML page with its style and script inline.
std::string page(const SizeReport& report);

// The byte map as a picture: each byte a square in the colour of its cost, map_columns to a row
// from the top left, the parts outlined in black where they meet, with a legend.
support::Image<std::uint8_t> picture(const SizeReport& report);

// Where the picture draws the byte map.
inline constexpr int map_columns = 64, cell_pixels = 8, map_left = 96, map_top = 48;

// The colour scale, from under 1 bit a byte to 8 and more: the shade of a cost in bits.
inline constexpr int shade_count = 9;
int shade_of(double bits);
std::array<std::uint8_t, 3> shade_colour(int shade);
// From this shade on, text on the colour is white.
inline constexpr int light_text_shade = 7;

// What the page and the picture both write: the program's code length in bits, the index in
// parts of the part each byte is in, and an offset as "0x01a0".
double total_bits(const SizeReport& report);
std::vector<std::size_t> part_of_bytes(const SizeReport& report);
std::string hex_offset(std::size_t offset);

} // namespace executable_packer::size_report
