// Reuse records (see record_file.h).
#include "record_file.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>

namespace support {

std::vector<RecordLine> parse_record(std::string_view text)
{
    if (!text.empty() && !text.ends_with('\n'))
        throw LineError(static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1,
                          "the last line does not end: the record is cut short");
    std::vector<RecordLine> lines;
    int number = 0;
    while (!text.empty())
    {
        std::string_view line = text.substr(0, text.find('\n'));
        text.remove_prefix(line.size() + 1);
        ++number;
        if (std::any_of(line.begin(), line.end(), [](char c) { return c < ' ' || c > '~'; }))
            throw LineError(number, "a character that is not printable ASCII");
        if (line.starts_with('#'))
            continue;
        RecordLine parsed{number, {}, {}};
        for (std::size_t start = 0; start <= line.size();)
        {
            std::size_t end = std::min(line.find(' ', start), line.size());
            std::string field(line.substr(start, end - start));
            if (field.empty())
                throw LineError(number, "an empty field: fields are separated by single spaces");
            if (parsed.key.empty())
                parsed.key = std::move(field);
            else
                parsed.values.push_back(std::move(field));
            start = end + 1;
        }
        lines.push_back(std::move(parsed));
    }
    return lines;
}

std::string record_text(std::string_view comment, const std::vector<RecordLine>& lines)
{
    std::string text;
    while (!comment.empty())
    {
        std::string_view line = comment.substr(0, comment.find('\n'));
        comment.remove_prefix(std::min(line.size() + 1, comment.size()));
        text += "# " + std::string(line) + "\n";
    }
    for (const RecordLine& line : lines)
    {
        text += line.key;
        for (const std::string& value : line.values)
            text += " " + value;
        text += "\n";
    }
    return text;
}

void require_one_line_each(const std::vector<RecordLine>& lines, std::initializer_list<std::string_view> keys)
{
    for (std::string_view key : keys)
    {
        int seen = 0;
        for (const RecordLine& line : lines)
            if (line.key == key && ++seen == 2)
                throw LineError(line.number, "a second '" + line.key + "' line");
        if (seen == 0)
            throw LineError(1, "no '" + std::string(key) + "' line: the record is not whole");
    }
}

std::string fingerprint(std::string_view bytes)
{
    std::uint64_t hash = 0xcbf29ce484222325;
    for (char byte : bytes)
        hash = (hash ^ static_cast<unsigned char>(byte)) * 0x100000001b3;
    char digits[17];
    std::snprintf(digits, sizeof digits, "%016llx", static_cast<unsigned long long>(hash));
    return digits;
}

unsigned long record_number(const RecordLine& line, unsigned long limit)
{
    unsigned long value = 0;
    if (line.values.size() == 1)
    {
        const std::string& field = line.values[0];
        auto [end, error] = std::from_chars(field.data(), field.data() + field.size(), value);
        if (error == std::errc() && end == field.data() + field.size() && value <= limit)
            return value;
    }
    throw LineError(line.number, line.key + " takes one number from 0 to " + std::to_string(limit));
}

RecordLine words_line(std::string_view key, std::string_view words)
{
    std::vector<RecordLine> lines;
    if (words.find('\n') == std::string_view::npos)
        lines = parse_record(std::string(key) + " " + std::string(words) + "\n");
    if (lines.size() != 1)
        throw LineError(1, "'" + std::string(key) + "' takes one line of words");
    return lines[0];
}

std::string words_of(const RecordLine& line)
{
    std::string text;
    for (const std::string& value : line.values)
        text += (text.empty() ? "" : " ") + value;
    return text;
}

} // namespace support
