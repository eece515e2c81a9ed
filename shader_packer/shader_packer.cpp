// The shader packer's front: compact form, number literals, generated headers, safe writes and
// the pack_shader command line.
#include "shader_packer.h"

#include "decimal_text.h"
#include "file_io.h"
#include "glslang_check.h"
#include "glsl_inlining.h"
#include "glsl_parser.h"
#include "glsl_printer.h"
#include "glsl_renamer.h"
#include "glsl_transforms.h"
#include "glsl_vocabulary.h"
#include "record_file.h"
#include "source_lines_record.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <limits>
#include <variant>
#include <vector>

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

std::string escaped(std::string_view line)
{
    std::string text;
    for (char c : line)
    {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\')
            text += std::string("\\") + c;
        else if (c == '\n')
            text += "\\n";
        else if (byte < 0x20 || byte >= 0x7f)
        {
            char octal[5];
            std::snprintf(octal, sizeof octal, "\\%03o", byte);
            text += octal;
        }
        else
            text += c;
    }
    return text;
}

bool is_identifier(std::string_view name)
{
    auto is_word_char = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    return !name.empty() && !std::isdigit(static_cast<unsigned char>(name[0])) &&
           std::all_of(name.begin(), name.end(), is_word_char);
}

constexpr std::string_view usage = "usage: pack_shader [--readable] [--keep NAMES] [--integer-arguments FUNCTIONS] "
                                   "[--names RECORD [--tune --toolchain WORDS]] [--lines RECORD] NAME INPUT OUTPUT";

std::set<std::string> comma_separated(std::string_view list)
{
    std::set<std::string> items;
    for (std::size_t start = 0; start <= list.size();)
    {
        std::size_t end = std::min(list.find(',', start), list.size());
        items.emplace(list.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

struct CommandLine
{
    bool readable = false;
    bool tune = false;
    CompactOptions options;
    std::string_view names_record, toolchain, lines_record, name, input, output;
};

// The 1-based line of each character of a text as it stands.
std::vector<int> lines_of_characters(std::string_view text)
{
    std::vector<int> lines;
    int line = 1;
    for (char c : text)
    {
        lines.push_back(line);
        line += c == '\n';
    }
    return lines;
}

// The command line's parts, or a message saying what is wrong with it.
std::variant<CommandLine, std::string> parse_command_line(std::span<const std::string_view> arguments)
{
    CommandLine command;
    while (!arguments.empty() && arguments[0].starts_with("--"))
    {
        std::string_view option = arguments[0];
        if (option == "--readable" || option == "--tune")
        {
            (option == "--tune" ? command.tune : command.readable) = true;
            arguments = arguments.subspan(1);
            continue;
        }
        if ((option == "--names" || option == "--toolchain" || option == "--lines") && arguments.size() >= 2)
        {
            (option == "--names" ? command.names_record
                                 : option == "--toolchain" ? command.toolchain : command.lines_record) = arguments[1];
            arguments = arguments.subspan(2);
            continue;
        }
        if ((option != "--keep" && option != "--integer-arguments") || arguments.size() < 2)
            return std::string(option) + (arguments.size() < 2 ? " needs a value" : " is no option");
        std::set<std::string> names = comma_separated(arguments[1]);
        if (!std::all_of(names.begin(), names.end(), [](const std::string& name) { return !name.empty(); }))
            return std::string(option) + " takes names between commas";
        if (option == "--keep")
            command.options.kept_names.merge(names);
        else
            for (const std::string& function : names)
            {
                if (!glsl::is_builtin_function(function))
                    return "--integer-arguments: '" + function + "' is no built-in function";
                command.options.integer_argument_functions.insert(function);
            }
        arguments = arguments.subspan(2);
    }
    if (command.tune && command.names_record.empty())
        return "--tune needs --names, the record it writes";
    if (command.tune == command.toolchain.empty())
        return "--tune goes with --toolchain, the compiler and linker the record names";
    if (command.tune)
        try
        {
            support::words_line("toolchain", command.toolchain);
        }
        catch (const support::LineError& error)
        {
            return "--toolchain: " + std::string(error.what());
        }
    if (arguments.size() != 3 || !is_identifier(arguments[0]))
        return "NAME must be a C++ identifier, followed by INPUT and OUTPUT";
    command.name = arguments[0];
    command.input = arguments[1];
    command.output = arguments[2];
    return command;
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

// The measure in bits and in bytes.
std::string measure_text(std::size_t bits)
{
    return std::to_string(bits) + " bits (" + support::fixed_decimal(static_cast<double>(bits) / 8, 1) + " bytes)";
}

// Writes the tuned names' record where it differs from the one there, and says how the text
// measures with it against the names recorded before.
std::string rewrite_names_record(std::string_view path, const NamesRecord& tuned, std::string_view source,
                                 CompactOptions options)
{
    std::string text = names_record_text(tuned), previous;
    try
    {
        previous = support::read_text(path);
        options.recorded_names = parse_names_record(previous);
        options.tune_recorded_names = false;
    }
    catch (const std::exception&)
    {
        options.recorded_names.reset();
    }
    std::string outcome = std::string(path);
    if (text == previous)
        return outcome + ": already current, the text measures " + measure_text(tuned.size);
    support::write_file_atomically(path, text);
    outcome += ": rewritten, the text measures " + measure_text(tuned.size);
    if (!options.recorded_names)
        return outcome + ", where there was no record to read before";
    return outcome + " against " + measure_text(compact_with_names(source, options).names.size) +
           " with the names before";
}

} // namespace

Compacted compact_with_names(std::string_view source, const CompactOptions& options)
{
    glsl::Program program = glsl::parse(source);
    glsl::keep_names(program, options.kept_names);
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

NamesRecord parse_names_record(std::string_view text)
{
    std::vector<support::RecordLine> lines = support::parse_record(text);
    NamesRecord record;
    for (const support::RecordLine& line : lines)
    {
        if (line.key == "input" && line.values.size() == 1)
            record.input = line.values[0];
        else if (line.key == "toolchain" && !line.values.empty())
            record.toolchain = support::words_of(line);
        else if (line.key == "size")
            record.size = support::record_number(line, std::numeric_limits<std::uint32_t>::max());
        else if (line.key == "name" && line.values.size() == 2 && line.values[1].size() == 1 &&
                 std::isalpha(static_cast<unsigned char>(line.values[1][0])))
        {
            if (!record.letters.emplace(line.values[0], line.values[1][0]).second)
                throw support::LineError(line.number, "a second letter for '" + line.values[0] + "'");
        }
        else
            throw support::LineError(line.number, "expected 'input FINGERPRINT', 'toolchain WORDS', 'size BITS' or "
                                                  "'name KEY LETTER'");
    }
    support::require_one_line_each(lines, {"input", "toolchain", "size"});
    return record;
}

std::string names_record_text(const NamesRecord& record)
{
    std::vector<support::RecordLine> lines = {{0, "input", {record.input}},
                                              support::words_line("toolchain", record.toolchain),
                                              {0, "size", {std::to_string(record.size)}}};
    for (const auto& [key, letter] : record.letters)
        lines.push_back({0, "name", {key, std::string(1, letter)}});
    return support::record_text("The one-letter names that `make tune` found for this shader; the build reads them\n"
                                "back instead of searching. input: the text the search started from; toolchain: the\n"
                                "compiler and linker it ran on; size: the text's measure with these names;\n"
                                "name: a symbol and its letter.",
                                lines);
}

std::string header_text(std::string_view name, std::string_view text)
{
    std::string header = "// Generated by pack_shader; edit the GLSL source instead.\n#pragma once\n\n";
    header += "constexpr char " + std::string(name) + "[] =";
    if (text.empty())
        header += " \"\"";
    while (!text.empty())
    {
        std::size_t end = std::min(text.find('\n'), text.size() - 1) + 1;
        header += "\n    \"" + escaped(text.substr(0, end)) + "\"";
        text.remove_prefix(end);
    }
    return header + ";\n";
}

int run_command_line(std::span<const std::string_view> arguments, std::ostream& errors,
                     const SizeMeasure& compressed_size, bool terminal)
{
    std::variant<CommandLine, std::string> parsed = parse_command_line(arguments);
    if (auto* problem = std::get_if<std::string>(&parsed))
    {
        errors << "pack_shader: error: " << usage << "; " << *problem << "\n";
        return 2;
    }
    CommandLine& command = std::get<CommandLine>(parsed);
    command.options.compressed_size = compressed_size;
    std::string_view name = command.name, input = command.input, output = command.output;
    std::string source;
    try
    {
        source = support::read_text(input);
    }
    catch (const std::exception& error)
    {
        errors << input << ": error: " << error.what() << "\n";
        return 1;
    }
    std::string_view record = command.names_record;
    if (!record.empty() && !command.tune && !command.readable)
        try
        {
            command.options.recorded_names = parse_names_record(support::read_text(record));
        }
        catch (const support::LineError& error)
        {
            errors << record << ":" << error.line() << ": error: " << error.what() << "\n";
            return 1;
        }
        catch (const std::exception& error)
        {
            errors << record << ": error: " << error.what() << "\n";
            return 1;
        }
    bool tuning = command.tune && !command.readable;
    std::optional<support::SearchProgress> progress;
    if (tuning)
    {
        // The search starts from the record there, and from the letters by frequency where there is
        // none to read.
        try
        {
            command.options.recorded_names = parse_names_record(support::read_text(record));
            command.options.tune_recorded_names = true;
        }
        catch (const std::exception&)
        {
            command.options.recorded_names.reset();
        }
        progress.emplace(std::filesystem::path(input).filename().string() + " names",
                         command.options.name_tuning_rounds, errors, terminal);
        command.options.name_tuning_progress = [&](support::SearchStep step) {
            step.best /= 8;
            progress->report(step);
        };
    }
    Compacted compacted;
    try
    {
        compacted = command.readable ? Compacted{source, {}, {}, lines_of_characters(source)}
                                     : compact_with_names(source, command.options);
    }
    catch (const support::LineError& error)
    {
        errors << input << ":" << error.line() << ": error: " << error.what() << "\n";
        return 1;
    }
    if (!compacted.stale.empty())
        errors << "pack_shader: " << record << ": stale, " << compacted.stale
               << "; the names are not the search's until `make tune` refreshes it\n";
    // glslang checks the compact text before the header takes its place; one it refuses is kept
    // beside the header: fragment_text.compact.frag beside fragment_text.h for a fragment stage.
    std::filesystem::path kept = std::filesystem::path(output).replace_extension(
        ".compact" + std::filesystem::path(input).extension().string());
    if (!command.readable && !check_compact_text(input, compacted.text, kept, errors))
        return 1;
    std::string_view failed = output;
    try
    {
        support::write_file_atomically(output, header_text(name, compacted.text));
        failed = command.lines_record;
        if (!command.lines_record.empty())
            support::write_file_atomically(
                command.lines_record,
                support::source_lines_record_text({std::string(name), std::filesystem::absolute(input).string(),
                                          support::fingerprint(compacted.text), compacted.source_lines}));
        failed = record;
        if (tuning)
        {
            compacted.names.toolchain = command.toolchain;
            progress->finish(rewrite_names_record(record, compacted.names, source, command.options));
        }
    }
    catch (const std::exception& error)
    {
        errors << failed << ": error: " << error.what() << "\n";
        return 1;
    }
    return 0;
}

} // namespace shader_packer
