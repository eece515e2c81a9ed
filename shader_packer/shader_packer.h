// Build-time shader packer: turns readable GLSL 4.50 into its compact form (one-letter names,
// shortest literals, no needless characters) and wraps texts as constants in C++ headers.
#pragma once

#include "line_error.h"
#include "search_progress.h"

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace shader_packer {

// The size a compact text compresses to, in any unit: what the one-letter names are tuned
// against. It is called from several threads at once.
using SizeMeasure = std::function<std::size_t(const std::string&)>;

// The one-letter names that the search found for a source, kept in a reuse record so that later
// packings read them instead of searching again.
struct NamesRecord
{
    // The fingerprint (support::fingerprint) of the compact text with the letters by frequency,
    // from which the search started.
    std::string input;
    // The compiler and linker that the search ran on, as words (support::words_line).
    std::string toolchain;
    // The compressed_size of the compact text with these names.
    std::size_t size = 0;
    // Each renamed symbol's letter, under its key (see glsl::symbol_keys).
    std::map<std::string, char> letters;

    friend bool operator==(const NamesRecord&, const NamesRecord&) = default;
};

// A names record read from its text; throws support::LineError at the line at fault.
NamesRecord parse_names_record(std::string_view text);
std::string names_record_text(const NamesRecord& record);

// What compact keeps and how it chooses the one-letter names.
struct CompactOptions
{
    // Names written as declared (see glsl::keep_names): variables, functions and structs by
    // name, members as "struct.member"; names the source does not declare change
    // nothing. main always keeps its name; a name another stage or the host looks up (a varying,
    // a uniform) must be listed here.
    std::set<std::string> kept_names;
    // Renames the stage-level inputs, outputs, uniforms and buffers too (see
    // glsl::keep_interface_names), where nothing binds them by name: a fragment stage's one
    // output, say, or a varying listed in kept_names for both stages.
    bool rename_interface = false;
    // Built-in functions whose integral float arguments are written as integers beside a float
    // argument (see glsl::use_integer_operands_of_floats).
    std::set<std::string> integer_argument_functions;
    // Writes locals read once, functions and arguments that every call passes alike where they
    // are used, where the text gets shorter (see glsl::substitute_single_use_locals,
    // glsl::inline_functions and glsl::write_shared_arguments_in_place); off, every variable,
    // function and parameter of the source stays one of the compact form.
    bool inline_code = true;
    // Passes that try other letters for each name and keep those with which the text measures
    // no larger by compressed_size (see glsl::tune_short_names); with no measure or 0 rounds the
    // letters are those given by frequency of use.
    SizeMeasure compressed_size;
    int name_tuning_rounds = 4;
    // Told how far the tuning has got, in compressed_size's unit.
    support::SearchObserver name_tuning_progress;
    // Letters taken from a record instead of tuning them: those it holds for symbols that are
    // still there and can have them, letters by frequency for the rest.
    std::optional<NamesRecord> recorded_names;
    // With recorded names and a measure, the tuning starts from the recorded letters instead,
    // and keeps them unless it finds letters with which the text measures smaller: a search
    // never ends worse than its record.
    bool tune_recorded_names = false;
};

// A compact text, the record of its names, and where recorded names were given, why they do
// not fit the source as it is now (empty when they do).
struct Compacted
{
    std::string text;
    NamesRecord names;
    std::string stale;
    // The 1-based source line of each character of text (see glsl::print_compact).
    std::vector<int> source_lines;
};

// The compact form and its names (see compact). Throws support::LineError at the source line at fault.
Compacted compact_with_names(std::string_view source, const CompactOptions& options);

// The compact form of a GLSL source: same meaning, every name of the program's own but the kept
// ones a single letter, no comments, no needless space, parenthesis or brace. Throws
// support::LineError at the source line at fault.
std::string compact(std::string_view source, const CompactOptions& options = {});

// A C++ header that defines `constexpr char name[]` holding text, one string piece per line.
std::string header_text(std::string_view name, std::string_view text);

// The pack_shader command, its arguments without the program name:
//   [--readable] [--keep NAMES] [--rename-interface] [--integer-arguments FUNCTIONS]
//   [--names RECORD [--tune --toolchain WORDS]] [--lines RECORD] NAME INPUT OUTPUT
// with comma-separated lists for the kept names and the built-in functions of CompactOptions.
// With --lines the source line of each character of the text is written to that record.
// With --names the letters come from the record, and a record that no longer fits the source
// gets one line saying so on errors, but the header is written; with --tune as well the names
// are tuned against compressed_size, a code length in bits, and the record is written anew where
// it changes, naming the toolchain given (the compiler and linker, as words): the search's
// progress goes to errors, a line a round or, on a terminal, one line rewritten in place, and
// then a line that says what became of the record. Without --names the letters are those by
// frequency. The header is written only once glslang accepts the compact text (see
// check_compact_text, which keeps a refused text as OUTPUT less its extension, ".compact" and
// INPUT's extension). Returns the exit status; messages go to errors as "FILE:LINE: error: ...".
// --help alone writes the usage line to output.
int run_command_line(std::span<const std::string_view> arguments, std::ostream& output, std::ostream& errors,
                     const SizeMeasure& compressed_size, bool terminal = false);

} // namespace shader_packer
