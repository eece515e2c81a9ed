// The names record (see NamesRecord in shader_packer.h), in the reuse records' line format.
#include "shader_packer.h"

#include "record_file.h"

#include <cctype>
#include <cstdint>
#include <limits>

namespace shader_packer {

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

} // namespace shader_packer
