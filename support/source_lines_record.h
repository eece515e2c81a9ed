// The source-lines record: where each character of a text that pack_shader wrote came from in its
// source, written by pack_shader and read by the packing step's size report.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace support {

// What the size report gives each source line its share of the packed bytes by.
struct SourceLinesRecord
{
    std::string name;   // the text constant's name
    std::string source; // the source file
    std::string text;   // the text's fingerprint (fingerprint in record_file.h)
    std::vector<int> lines;

    friend bool operator==(const SourceLinesRecord&, const SourceLinesRecord&) = default;
};

// A source lines record read from its text; throws LineError at the line at fault.
SourceLinesRecord parse_source_lines_record(std::string_view text);
std::string source_lines_record_text(const SourceLinesRecord& record);

} // namespace support
