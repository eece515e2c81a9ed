// The source-lines record (see source_lines_record.h), in the reuse records' line format.
#include "source_lines_record.h"

#include "record_file.h"

#include <charconv>

namespace support {

namespace {

// The number that is the whole of text when it is positive, otherwise 0.
int positive_number(std::string_view text)
{
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value > 0 ? value : 0;
}

} // namespace

SourceLinesRecord parse_source_lines_record(std::string_view text)
{
    std::vector<RecordLine> lines = parse_record(text);
    SourceLinesRecord record;
    for (const RecordLine& line : lines)
    {
        if (line.key == "name" && line.values.size() == 1)
            record.name = line.values[0];
        else if (line.key == "source" && !line.values.empty())
            record.source = words_of(line);
        else if (line.key == "text" && line.values.size() == 1)
            record.text = line.values[0];
        else if (line.key == "lines")
            for (std::string_view run : line.values)
            {
                std::size_t times = run.find('x');
                int source_line = positive_number(run.substr(0, times));
                int count = times == std::string_view::npos ? 1 : positive_number(run.substr(times + 1));
                if (source_line == 0 || count == 0)
                    throw LineError(line.number, "a run is LINE or LINExCOUNT, not '" + std::string(run) + "'");
                record.lines.insert(record.lines.end(), count, source_line);
            }
        else
            throw LineError(line.number, "expected 'name NAME', 'source PATH', 'text FINGERPRINT' or 'lines RUN...'");
    }
    require_one_line_each(lines, {"name", "source", "text", "lines"});
    return record;
}

std::string source_lines_record_text(const SourceLinesRecord& record)
{
    RecordLine runs{0, "lines", {}};
    for (std::size_t start = 0, end = 0; start < record.lines.size(); start = end)
    {
        while (end < record.lines.size() && record.lines[end] == record.lines[start])
            ++end;
        std::string run = std::to_string(record.lines[start]);
        runs.values.push_back(end - start == 1 ? run : run + "x" + std::to_string(end - start));
    }
    return record_text(
        "The source line of each character of a text that pack_shader wrote, for the packing\n"
        "step's size report. name: the text's constant; source: the file it was packed\n"
        "from; text: the text's fingerprint; lines: runs of characters, LINExCOUNT.",
        {{0, "name", {record.name}}, words_line("source", record.source), {0, "text", {record.text}}, runs});
}

} // namespace support
