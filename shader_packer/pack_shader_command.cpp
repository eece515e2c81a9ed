// The pack_shader command line (see run_command_line in shader_packer.h): its options, the files it
// reads and writes, and each failure named by the file at fault.
#include "shader_packer.h"

#include "decimal_text.h"
#include "file_io.h"
#include "glsl_lexer.h"
#include "glsl_vocabulary.h"
#include "glslang_check.h"
#include "record_file.h"
#include "source_lines_record.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <variant>

namespace shader_packer {

namespace {

constexpr std::string_view usage =
    "usage: pack_shader [--readable] [--keep NAMES] [--rename-interface] [--integer-arguments FUNCTIONS] "
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
    bool help = false;
    bool readable = false;
    bool tune = false;
    bool toolchain_given = false;
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
    if (arguments.size() == 1 && arguments[0] == "--help")
    {
        command.help = true;
        return command;
    }
    while (!arguments.empty() && arguments[0].starts_with("--"))
    {
        std::string_view option = arguments[0];
        if (option == "--readable" || option == "--tune" || option == "--rename-interface")
        {
            (option == "--tune"               ? command.tune
             : option == "--rename-interface" ? command.options.rename_interface
                                              : command.readable) = true;
            arguments = arguments.subspan(1);
            continue;
        }
        if ((option == "--names" || option == "--toolchain" || option == "--lines") && arguments.size() >= 2)
        {
            (option == "--names"       ? command.names_record
             : option == "--toolchain" ? command.toolchain
                                       : command.lines_record) = arguments[1];
            command.toolchain_given = command.toolchain_given || option == "--toolchain";
            arguments = arguments.subspan(2);
            continue;
        }
        if ((option != "--keep" && option != "--integer-arguments") || arguments.size() < 2)
            return std::string(option) + (arguments.size() < 2 ? " needs a value" : " is no option");
        std::set<std::string> names = comma_separated(arguments[1]);
        if (names.contains(""))
            return std::string(option) + " " + std::string(arguments[1]) + ": an empty name between commas";
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
    if (command.tune != command.toolchain_given)
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
    if (arguments.size() != 3)
        return "NAME INPUT OUTPUT are three arguments, not " + std::to_string(arguments.size());
    if (!glsl::is_identifier(arguments[0]))
        return "NAME '" + std::string(arguments[0]) + "' is no C++ identifier";
    command.name = arguments[0];
    command.input = arguments[1];
    command.output = arguments[2];
    return command;
}

// The measure in bits and in bytes.
std::string measure_text(std::size_t bits)
{
    return std::to_string(bits) + " bits (" + support::fixed_decimal(static_cast<double>(bits) / 8, 1) + " bytes)";
}

// The names record at path and its text, where there is one that reads; none (and the text as far
// as it was read) where there is not, and a search then starts from the letters by frequency.
std::optional<NamesRecord> names_record_there(std::string_view path, std::string& text)
{
    try
    {
        text = support::read_text(path);
        return parse_names_record(text);
    }
    catch (const std::exception&)
    {
        return std::nullopt;
    }
}

// Writes the tuned names' record where it differs from the one there, and says how the text
// measures with it against the names recorded before.
std::string rewrite_names_record(std::string_view path, const NamesRecord& tuned, std::string_view source,
                                 CompactOptions options)
{
    std::string text = names_record_text(tuned), previous;
    options.recorded_names = names_record_there(path, previous);
    options.tune_recorded_names = false;
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

// Runs job, which reads or writes file; where it fails, says so naming the file, and the line at
// fault where there is one, and gives false.
bool with_file(std::string_view file, std::ostream& errors, const std::function<void()>& job)
{
    try
    {
        job();
        return true;
    }
    catch (const support::LineError& error)
    {
        errors << file << ":" << error.line() << ": error: " << error.what() << "\n";
    }
    catch (const std::exception& error)
    {
        errors << file << ": error: " << error.what() << "\n";
    }
    return false;
}

// The search starts from the record there, and from the letters by frequency where there is none
// to read; its progress goes to errors.
void start_tuning(CommandLine& command, std::optional<support::SearchProgress>& progress, std::ostream& errors,
                  bool terminal)
{
    std::string text;
    command.options.recorded_names = names_record_there(command.names_record, text);
    command.options.tune_recorded_names = command.options.recorded_names.has_value();
    progress.emplace(std::filesystem::path(command.input).filename().string() + " names",
                     command.options.name_tuning_rounds, errors, terminal);
    command.options.name_tuning_progress = [&progress](support::SearchStep step) {
        step.best /= 8;
        progress->report(step);
    };
}

// Writes the header, the source lines record where asked, and the tuned names' record where the
// names were tuned, each failure named by its file; gives whether all were written.
bool write_outputs(const CommandLine& command, Compacted& compacted, std::string_view source,
                   std::optional<support::SearchProgress>& progress, std::ostream& errors)
{
    std::string_view name = command.name, input = command.input;
    return with_file(command.output, errors,
                     [&] { support::write_file_atomically(command.output, header_text(name, compacted.text)); }) &&
           (command.lines_record.empty() ||
            with_file(command.lines_record, errors,
                      [&] {
                          support::write_file_atomically(
                              command.lines_record,
                              support::source_lines_record_text(
                                  {std::string(name), std::filesystem::absolute(input).string(),
                                   support::fingerprint(compacted.text), compacted.source_lines}));
                      })) &&
           (!progress || with_file(command.names_record, errors, [&] {
               compacted.names.toolchain = command.toolchain;
               progress->finish(rewrite_names_record(command.names_record, compacted.names, source, command.options));
           }));
}

} // namespace

int run_command_line(std::span<const std::string_view> arguments, std::ostream& output, std::ostream& errors,
                     const SizeMeasure& compressed_size, bool terminal)
{
    std::variant<CommandLine, std::string> parsed = parse_command_line(arguments);
    if (auto* problem = std::get_if<std::string>(&parsed))
    {
        errors << "pack_shader: error: " << usage << "; " << *problem << "\n";
        return 2;
    }
    CommandLine& command = std::get<CommandLine>(parsed);
    if (command.help)
    {
        output << usage << "\n";
        return 0;
    }
    command.options.compressed_size = compressed_size;
    std::string_view input = command.input, record = command.names_record;
    std::string source;
    if (!with_file(input, errors, [&] { source = support::read_text(input); }))
        return 1;
    bool tuning = command.tune && !command.readable;
    if (!record.empty() && !command.tune && !command.readable && !with_file(record, errors, [&] {
            command.options.recorded_names = parse_names_record(support::read_text(record));
        }))
        return 1;
    std::optional<support::SearchProgress> progress;
    if (tuning)
        start_tuning(command, progress, errors, terminal);
    Compacted compacted;
    if (!with_file(input, errors, [&] {
            compacted = command.readable ? Compacted{source, {}, {}, lines_of_characters(source)}
                                         : compact_with_names(source, command.options);
        }))
        return 1;
    if (!compacted.stale.empty())
        errors << "pack_shader: " << record << ": stale, " << compacted.stale
               << "; the names are not the search's until `make tune` refreshes it\n";
    // glslang checks the compact text before the header takes its place; one it refuses is kept
    // beside the header: fragment_text.compact.frag beside fragment_text.h for a fragment stage.
    std::filesystem::path kept = std::filesystem::path(command.output)
                                     .replace_extension(".compact" + std::filesystem::path(input).extension().string());
    if (!command.readable && !check_compact_text(input, compacted.text, kept, errors))
        return 1;
    return write_outputs(command, compacted, source, progress, errors) ? 0 : 1;
}

} // namespace shader_packer
