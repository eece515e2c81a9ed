// The packed executable's own coder: context models over hashed contexts of the bytes before,
// mixed by a logistic mixer and coded bit by bit by a range coder. Integer arithmetic only (the
// stretch and squash read the float format's bits of exact integers), so that the decoding stub
// (executable_packer/decoder_stub.S) computes bit for bit what this encoder did; the decoder here
// is the reference the tests hold the stub to.
#pragma once

#include "search_progress.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace coder {

// What the decoder needs besides the stream: the contexts and the two rates.
struct ModelSet
{
    // One model per context. Bit 0: the model sees the hash of the current word (the small
    // letters since the last byte that is not one); bit j, 1 to 31: it sees the byte j places
    // back.
    std::vector<std::uint32_t> contexts;
    // The mixer learns by stretch * error >> weight_shift.
    int weight_shift = 16;
    // A slot moves 10 / (3n + 11) of the way towards each bit, n counting the bits it saw up to
    // count_limit.
    int count_limit = 24;

    friend bool operator==(const ModelSet&, const ModelSet&) = default;
};

// The most bytes back that a context reaches; the decoder keeps at least that many zeros before
// the start.
inline constexpr int history = 31;

// What the decoding stub takes: its contexts' weights lie within a one-byte displacement
// (4 * 31 bytes under 128), and each rate is patched into one byte of an instruction.
inline constexpr int max_contexts = 31;
inline constexpr int max_weight_shift = 31;
inline constexpr int max_count_limit = 255;

// The stream that decode turns back into data; its first decoded bytes are read without a
// separate start, and decoding never reads past its end.
std::vector<std::uint8_t> encode(std::span<const std::uint8_t> data, const ModelSet& models);

// What the decoder finds: the data, and the code it holds after the last bit. The decoding stub
// checks that code against the one found here when packing: a damaged or cut stream, or damaged
// contexts, decode on from another code and end with another.
struct Decoded
{
    std::vector<std::uint8_t> data;
    std::uint32_t final_code = 0;

    friend bool operator==(const Decoded&, const Decoded&) = default;
};

// The first size bytes the stream codes. Bytes past the stream's end read as zero.
Decoded decode(std::span<const std::uint8_t> stream, std::size_t size, const ModelSet& models);

// The data's code length in bytes as the models predict it, without coding it: what the search
// minimises, a few bytes under the stream's size.
double code_length(std::span<const std::uint8_t> data, const ModelSet& models);

// What each byte of the data costs in bits with these models, the sum of -log2 p over its eight
// bits, in the same pass: the costs add up to eight times code_length.
std::vector<double> byte_costs(std::span<const std::uint8_t> data, const ModelSet& models);

// Searches from the start: the rates one step at a time, each context bit flipped, models
// dropped that save less than their 4 bytes, new ones from a list, for the given number of
// rounds or until a round finds nothing. Deterministic. Tells the observer the code length in
// bytes at the start and after each step.
ModelSet search_models(std::span<const std::uint8_t> data, const ModelSet& start, int rounds,
                       const support::SearchObserver& observer = {});

// A start for the search that suits executables with text in them: orders 0 to 4, the word,
// and bytes 8, 16 and 24 back for tables of 8-, 16- and 24-byte records.
ModelSet default_models();

// The models that the search found for a program, kept in a reuse record so that packing reads
// them instead of searching again.
struct ModelsRecord
{
    // The program's fingerprint (support::fingerprint).
    std::string program;
    // The compiler and linker that built it, as words (support::words_line).
    std::string toolchain;
    ModelSet models;

    friend bool operator==(const ModelsRecord&, const ModelsRecord&) = default;
};

// A models record read from its text; throws support::LineError at the line at fault.
ModelsRecord parse_models_record(std::string_view text);
std::string models_record_text(const ModelsRecord& record);

} // namespace coder
