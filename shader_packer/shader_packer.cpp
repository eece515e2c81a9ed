// The shader packer's pipeline: parse, transform, name by letter frequency or by the record,
// tune the names against the measure, print the compact text.
#include "shader_packer.h"

#include "glsl_inlining.h"
#include "glsl_parser.h"
#include "glsl_printer.h"
#include "glsl_renamer.h"
#include "glsl_transforms.h"
#include "record_file.h"

#include <algorithm>
#include <array>

namespace shader_packer {

namespace {

// All 52 letters, the most frequent in text first (ties in alphabetical order, lower case
// first), less those already used as names that are not renamed.
std::string letters_by_frequency(std::string_view text, const std::set<std::string>& foreign_names)
{
    std::string letters;
    for (char c = 'a'; c <= 'z'; ++c)
        letters += c;
    for (char c = 'A'; c <= 'Z'; ++c)
        letters += c;
    std::erase_if(letters, [&](char letter) { return foreign_names.contains(std::string(1, letter)); });
    std::array<int, 256> counts{};
    for (char c : text)
        ++counts[static_cast<unsigned char>(c)];
    std::stable_sort(letters.begin(), letters.end(), [&](char a, char b) {
        return counts[static_cast<unsigned char>(a)] > counts[static_cast<unsigned char>(b)];
    });
    return letters;
}

// Gives the program the recorded letters, saying why the record does not fit it where it does not.
std::string fitted_record_names(glsl::Program& program, std::string_view letters, const std::string& input,
                                const NamesRecord& record)
{
    int missed = glsl::assign_recorded_names(program, letters, record.letters);
    std::size_t symbols = glsl::symbol_keys(program).size();
    if (missed > 0)
        return std::to_string(missed) + " of the source's " + std::to_string(symbols) + " names get no letter from it";
    if (record.letters.size() > symbols)
    {
        std::size_t gone = record.letters.size() - symbols;
        return "it names " + std::to_string(gone) + (gone == 1 ? " symbol" : " symbols") + " the source no longer has";
    }
    if (record.input != input)
        return "the source has changed since the search";
    return "";
}

} // namespace

Compacted compact_with_names(std::string_view source, const CompactOptions& options)
{
    glsl::Program program = glsl::parse(source);
    glsl::keep_names(program, options.kept_names);
    if (!options.rename_interface)
        glsl::keep_interface_names(program);
    glsl::fold_literal_constants(program);
    if (options.inline_code)
    {
        glsl::substitute_single_use_locals(program);
        glsl::inline_functions(program);
        glsl::write_shared_arguments_in_place(program);
    }
    glsl::use_integer_constructor_arguments(program);
    glsl::use_integer_operands_of_floats(program, options.integer_argument_functions);
    glsl::drop_const_from_literal_globals(program);
    glsl::merge_declarations(program);
    std::string remaining_text = glsl::print_compact(program, true);
    std::string letters = letters_by_frequency(remaining_text, program.foreign_names);
    glsl::assign_short_names(program, letters);

    Compacted compacted;
    compacted.names.input = support::fingerprint(glsl::print_compact(program));
    bool tuning = options.compressed_size && (!options.recorded_names || options.tune_recorded_names);
    if (options.recorded_names)
    {
        std::string stale = fitted_record_names(program, letters, compacted.names.input, *options.recorded_names);
        if (!tuning)
            compacted.stale = stale;
    }
    if (tuning)
    {
        std::vector<std::string> start;
        for (const glsl::Symbol& symbol : program.symbols)
            start.push_back(symbol.short_name);
        std::size_t start_size = options.compressed_size(glsl::print_compact(program));
        glsl::tune_short_names(program, letters, options.compressed_size, options.name_tuning_rounds,
                               options.name_tuning_progress);
        if (options.recorded_names && options.compressed_size(glsl::print_compact(program)) >= start_size)
            for (std::size_t i = 0; i < start.size(); ++i)
                program.symbols[i].short_name = start[i];
    }
    compacted.text = glsl::print_compact(program, compacted.source_lines);
    if (options.compressed_size)
        compacted.names.size = options.compressed_size(compacted.text);
    for (const auto& [symbol, key] : glsl::symbol_keys(program))
        compacted.names.letters[key] = symbol->short_name[0];
    if (options.recorded_names && !tuning && compacted.stale.empty() && options.compressed_size &&
        compacted.names.size != options.recorded_names->size)
        compacted.stale = "the text measures " + std::to_string(compacted.names.size) + ", not the recorded " +
                          std::to_string(options.recorded_names->size);
    return compacted;
}

std::string compact(std::string_view source, const CompactOptions& options)
{
    return compact_with_names(source, options).text;
}

} // namespace shader_packer
