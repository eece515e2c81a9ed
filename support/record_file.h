// Reuse records: the small text files in which a slow search keeps what it found, so that builds
// read it back instead of searching. A line is a key and its values, separated by single spaces;
// lines that start with '#' are comments.
#pragma once

#include "line_error.h"

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace support {

struct RecordLine
{
    int number = 0;
    std::string key;
    std::vector<std::string> values;
};

// The lines of a record, comments left out. Throws LineError for a text that does not end its
// last line, an empty key or value, or a character that is not printable ASCII.
std::vector<RecordLine> parse_record(std::string_view text);

// The text of a record: the comment, each of its lines after "# ", then the lines.
std::string record_text(std::string_view comment, const std::vector<RecordLine>& lines);

// Throws LineError unless each of the keys has exactly one line: at its second line, or at
// line 1 for a key with none (the record is not whole).
void require_one_line_each(const std::vector<RecordLine>& lines, std::initializer_list<std::string_view> keys);

// What a record was found for, as 16 hex digits: a 64-bit FNV-1a hash of the bytes, enough to
// tell one input from another (it proves nothing against a deliberate collision).
std::string fingerprint(std::string_view bytes);

// The line's one value as a number in [0, limit]; throws LineError naming the key otherwise.
unsigned long record_number(const RecordLine& line, unsigned long limit);

// A line whose values are given as one text of words, such as the toolchain a search ran on
// ("gcc-12.2.0 ld-2.40"); throws LineError unless the words are printable ASCII between single
// spaces. words_of gives the text back.
RecordLine words_line(std::string_view key, std::string_view words);
std::string words_of(const RecordLine& line);

} // namespace support
