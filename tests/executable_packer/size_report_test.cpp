// The size report: on the program and on one of these tests' own, the costs add up to the coder's
// code length and the stream, every byte lies in one part, each function and text that readelf
// lists is a part of its size, and the shader lines add up to their texts; the page the build
// wrote, opened in a real browser, and its picture show the same.
#include "context_mixing.h"
#include "file_io.h"
#include "png_file.h"
#include "process.h"
#include "size_report.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <regex>
#include <set>

namespace {

namespace size_report = executable_packer::size_report;
using Bytes = std::vector<std::uint8_t>;
using support::read_file;

coder::ModelSet shipped_models()
{
    return coder::parse_models_record(support::read_text(MODELS_RECORD)).models;
}

std::vector<size_report::ShaderSource> shader_sources()
{
    return {size_report::read_shader_source(VERTEX_LINES), size_report::read_shader_source(FRAGMENT_LINES)};
}

const size_report::ProgramPart* part_named(const size_report::SizeReport& report, const std::string& name)
{
    auto found = std::find_if(report.parts.begin(), report.parts.end(),
                              [&](const size_report::ProgramPart& part) { return part.name == name; });
    return found == report.parts.end() ? nullptr : &*found;
}

// The bits add up to the code length, which the stream exceeds by the range coder's few bytes of
// ending, and those of the first half to the first half's code length (the models see only what
// came before); the parts' ranges cover the program with no byte twice, each part costing what
// its bytes cost.
void expect_costs_add_up(const size_report::SizeReport& report, const Bytes& program, const coder::ModelSet& models)
{
    double bits = std::accumulate(report.costs.begin(), report.costs.end(), 0.0);
    EXPECT_NEAR(bits / 8, coder::code_length(program, models), 1e-6);
    std::size_t half = program.size() / 2;
    EXPECT_NEAR(std::accumulate(report.costs.begin(), report.costs.begin() + std::ptrdiff_t(half), 0.0) / 8,
                coder::code_length(std::span(program).first(half), models), 1e-6);
    double stream = double(coder::encode(program, models).size());
    EXPECT_GE(stream, bits / 8);
    EXPECT_LE(stream, bits / 8 + 5);
    std::vector<size_report::Range> ranges;
    double part_bits = 0;
    for (const size_report::ProgramPart& part : report.parts)
    {
        std::size_t bytes = 0;
        double cost = 0;
        for (size_report::Range range : part.ranges)
        {
            ranges.push_back(range);
            bytes += range.size;
            cost = std::accumulate(report.costs.begin() + std::ptrdiff_t(range.offset),
                                   report.costs.begin() + std::ptrdiff_t(range.offset + range.size), cost);
        }
        EXPECT_EQ(part.bytes, bytes) << part.name;
        EXPECT_NEAR(part.bits, cost, 1e-6) << part.name;
        part_bits += part.bits;
    }
    EXPECT_NEAR(part_bits, bits, 1e-6);
    std::sort(ranges.begin(), ranges.end(), [](auto a, auto b) { return a.offset < b.offset; });
    std::size_t next = 0;
    for (size_report::Range range : ranges)
    {
        EXPECT_EQ(range.offset, next) << "a byte in two parts or in none";
        next = range.offset + range.size;
    }
    EXPECT_EQ(next, program.size());
}

// Each function and object of the file with bytes, as readelf lists them (C++ names demangled):
// "code: NAME" or "OBJECT NAME", and its size.
std::map<std::string, std::size_t> symbols_readelf_lists(const std::string& path)
{
    support::Finished listed = support::run({"/usr/bin/readelf", "-sW", "-C", path});
    EXPECT_TRUE(listed.status.clean_exit()) << listed.err;
    std::map<std::string, std::size_t> symbols;
    std::regex entry(R"(^ *\d+: [0-9a-f]+ +(\d+) (FUNC|OBJECT) +\w+ +\w+ +\d+ (.+)$)");
    for (const std::string& line : support::lines_of(listed.out))
        if (std::smatch match; std::regex_match(line, match, entry) && std::stoul(match[1]) > 0)
            symbols[(match[2] == "FUNC" ? "code: " : "OBJECT ") + match[3].str()] = std::stoul(match[1]);
    return symbols;
}

TEST(SizeReport, AddsUpOverTheProgramItsPartsAndItsShaderLines)
{
    Bytes program = read_file(STILLRAY_EXECUTABLE);
    coder::ModelSet models = shipped_models();
    size_report::SizeReport report =
        size_report::measure(program, read_file(STILLRAY_LINKED), models, shader_sources());
    expect_costs_add_up(report, program, models);

    std::map<std::string, std::size_t> symbols = symbols_readelf_lists(STILLRAY_LINKED);
    ASSERT_TRUE(symbols.contains("code: _start"));
    for (const auto& [listed, size] : symbols)
    {
        std::string name = listed;
        if (name == "OBJECT vertex_text" || name == "OBJECT fragment_text")
            name = "text: " + name.substr(7);
        if (name.starts_with("OBJECT "))
            continue;
        const size_report::ProgramPart* part = part_named(report, name);
        ASSERT_NE(part, nullptr) << name;
        EXPECT_EQ(part->bytes, size) << name;
    }
    ASSERT_NE(part_named(report, "ELF header"), nullptr);
    EXPECT_EQ(part_named(report, "ELF header")->bytes, 64u);

    ASSERT_EQ(report.shaders.size(), 2u);
    for (const size_report::ShaderCost& shader : report.shaders)
    {
        const size_report::ProgramPart* text = part_named(report, "text: " + shader.source.text_name);
        ASSERT_NE(text, nullptr) << shader.source.text_name;
        EXPECT_EQ(text->ranges.front().offset, shader.offset);
        EXPECT_NEAR(std::accumulate(shader.line_bits.begin(), shader.line_bits.end(), shader.end_bits), text->bits,
                    1e-6)
            << shader.source.text_name;
        // Comments and blank lines make no characters; the first line is the version.
        std::vector<std::string> lines = support::lines_of(shader.source.source);
        ASSERT_EQ(shader.line_bits.size(), lines.size());
        EXPECT_GT(shader.line_bits[0], 0) << lines[0];
        for (std::size_t line = 0; line < lines.size(); ++line)
            if (std::string text = std::regex_replace(lines[line], std::regex("^ *"), "");
                text.empty() || text.starts_with("//"))
                EXPECT_EQ(shader.line_bits[line], 0) << shader.source.source_name << ":" << line + 1;
    }
}

// A program of these tests' own, its symbols in itself and no shader texts; the program with no
// symbols to name its parts by: each still gets its parts, what the headers name.
TEST(SizeReport, ReportsProgramsWithoutShaderTextsOrSymbols)
{
    Bytes data_program = read_file(RANDOM_DATA_PROGRAM);
    coder::ModelSet models = coder::default_models();
    size_report::SizeReport own = size_report::measure(data_program, data_program, models, shader_sources());
    expect_costs_add_up(own, data_program, models);
    EXPECT_TRUE(own.shaders.empty());
    std::map<std::string, std::size_t> symbols = symbols_readelf_lists(RANDOM_DATA_PROGRAM);
    ASSERT_TRUE(
        std::any_of(symbols.begin(), symbols.end(), [](auto& symbol) { return symbol.first.starts_with("code: "); }));
    for (const auto& [name, size] : symbols)
        if (name.starts_with("code: "))
        {
            ASSERT_NE(part_named(own, name), nullptr) << name;
            EXPECT_EQ(part_named(own, name)->bytes, size) << name;
        }

    Bytes program = read_file(STILLRAY_EXECUTABLE);
    size_report::SizeReport bare = size_report::measure(program, program, models, shader_sources());
    expect_costs_add_up(bare, program, models);
    EXPECT_TRUE(bare.shaders.empty());
    for (const char* name : {"ELF header", "program headers", "interpreter", "dynamic section", "other"})
        EXPECT_NE(part_named(bare, name), nullptr) << name;
    EXPECT_EQ(bare.parts.size(), 5u);
}

// The number an element with that id or class holds, as the browser left the page.
std::vector<double> numbers_in(const std::string& dom, const std::string& attribute)
{
    std::vector<double> numbers;
    std::regex element(attribute + R"(">([0-9.]+)<)");
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), element); it != std::sregex_iterator(); ++it)
        numbers.push_back(std::stod((*it)[1]));
    return numbers;
}

// The page that the build wrote, in Debian's headless Chromium: its script runs to the end with no
// message on the console and fills in what the map and the margins add up to, and the sizes it
// shows are the files'.
TEST(SizeReportPage, ShowsTheSizesOfTheFilesInABrowser)
{
    std::string browser;
    for (const std::string& path :
         support::lines_of(support::run({"/usr/bin/dpkg", "-L", "chromium-headless-shell"}).out))
        if (path.ends_with("/chromium-headless-shell") && browser.empty() && access(path.c_str(), X_OK) == 0)
            browser = path;
    ASSERT_FALSE(browser.empty()) << "chromium-headless-shell is not installed (scripts/install-deps.sh test)";
    support::TempDir profile("size-report-browser");
    support::Finished shown = support::run({browser, "--no-sandbox", "--disable-gpu", "--disable-background-networking",
                                            "--disable-component-update", "--no-first-run", "--disable-sync",
                                            "--user-data-dir=" + profile.path().string(), "--enable-logging=stderr",
                                            "--v=0", "--dump-dom", std::string("file://") + SIZE_REPORT});
    ASSERT_TRUE(shown.status.clean_exit()) << shown.status.text() << ": " << shown.err;
    EXPECT_EQ(shown.err.find(":CONSOLE"), std::string::npos) << shown.err;
    const std::string& dom = shown.out;

    double program_size = double(std::filesystem::file_size(STILLRAY_EXECUTABLE));
    EXPECT_EQ(numbers_in(dom, "id=\"program-bytes"), std::vector<double>{program_size});
    EXPECT_EQ(numbers_in(dom, "id=\"map-bytes"), std::vector<double>{program_size});
    EXPECT_EQ(numbers_in(dom, "id=\"packed-bytes"),
              std::vector<double>{double(std::filesystem::file_size(STILLRAY_PACKED))});
    std::vector<double> bytes = numbers_in(dom, "class=\"bytes"), totals = numbers_in(dom, "class=\"total");
    EXPECT_EQ(std::accumulate(bytes.begin(), bytes.end(), 0.0), program_size);
    EXPECT_NE(std::find(totals.begin(), totals.end(), double(std::filesystem::file_size(STILLRAY_PACKED))),
              totals.end());

    std::vector<double> code_length = numbers_in(dom, "id=\"code-length"), packed = numbers_in(dom, "class=\"packed");
    ASSERT_EQ(code_length.size(), 1u);
    EXPECT_EQ(numbers_in(dom, "id=\"map-packed"), code_length);
    EXPECT_NEAR(std::accumulate(packed.begin(), packed.end(), 0.0), code_length[0], 0.05 * double(packed.size()));
    std::vector<double> texts = numbers_in(dom, "class=\"text-packed"), margins = numbers_in(dom, "class=\"margins");
    ASSERT_EQ(texts.size(), 2u);
    ASSERT_EQ(margins.size(), 2u);
    for (std::size_t stage = 0; stage < texts.size(); ++stage)
        EXPECT_NEAR(margins[stage], texts[stage], 0.11) << "stage " << stage;

    // The pointer counts a byte's offset from its row's: each row's cells are the program's bytes
    // from there.
    Bytes program = read_file(STILLRAY_EXECUTABLE);
    std::regex row(R"re(<div data-o="(\d+)"><b>[^<]*</b> <span class="h">)re"), cell(">([0-9a-f]{2})</i>");
    std::size_t cells = 0, wrong = 0;
    for (auto it = std::sregex_iterator(dom.begin(), dom.end(), row); it != std::sregex_iterator(); ++it)
    {
        std::size_t start = it->position() + it->length(), offset = std::stoul((*it)[1]);
        std::string hex = dom.substr(start, dom.find("</span>", start) - start);
        for (auto at = std::sregex_iterator(hex.begin(), hex.end(), cell); at != std::sregex_iterator(); ++at, ++cells)
            wrong += offset >= program.size() || std::stoul((*at)[1], nullptr, 16) != program[offset++];
    }
    EXPECT_EQ(cells, program.size());
    EXPECT_EQ(wrong, 0u);
}

// The picture that the build wrote: each byte's square in the colour of its cost, and a black
// edge on each of its sides exactly where the byte beyond it is in another part or none.
TEST(SizeReportPicture, IsTheByteMapWithThePartsOutlined)
{
    Bytes program = read_file(STILLRAY_EXECUTABLE);
    coder::ModelSet models = shipped_models();
    std::vector<double> costs = coder::byte_costs(program, models);
    size_report::SizeReport report =
        size_report::measure(program, read_file(STILLRAY_LINKED), models, shader_sources());
    std::vector<std::size_t> part_of(program.size());
    for (std::size_t index = 0; index < report.parts.size(); ++index)
        for (size_report::Range range : report.parts[index].ranges)
            std::fill_n(part_of.begin() + std::ptrdiff_t(range.offset), range.size, index);

    support::Image<std::uint8_t> picture = support::read_png(SIZE_MAP);
    constexpr int cell = size_report::cell_pixels, columns = size_report::map_columns;
    int rows = int((program.size() + columns - 1) / columns);
    ASSERT_GE(picture.width, size_report::map_left + columns * cell);
    ASSERT_GE(picture.height, size_report::map_top + rows * cell);
    auto pixel = [&](int x, int y) {
        auto at = picture.rgb.begin() + (std::ptrdiff_t(y) * picture.width + x) * 3;
        return support::Colour{at[0], at[1], at[2]};
    };
    // Each whole number of bits (8 and more together) has a colour of its own.
    std::map<int, std::set<support::Colour>> colours_of_bits;
    std::size_t wrong_edges = 0;
    for (std::size_t i = 0; i < program.size(); ++i)
    {
        int column = int(i % columns), x = size_report::map_left + column * cell,
            y = size_report::map_top + int(i / columns) * cell;
        colours_of_bits[std::min(int(costs[i]), 8)].insert(pixel(x + cell / 2, y + cell / 2));
        bool part_ends = column == columns - 1 || i + 1 == program.size() || part_of[i + 1] != part_of[i],
             part_starts = column == 0 || part_of[i - 1] != part_of[i],
             above = i < columns || part_of[i - columns] != part_of[i],
             below = i + columns >= program.size() || part_of[i + columns] != part_of[i];
        const support::Colour black{0, 0, 0};
        wrong_edges += (pixel(x + cell - 1, y + cell / 2) == black) != part_ends;
        wrong_edges += (pixel(x, y + cell / 2) == black) != part_starts;
        wrong_edges += (pixel(x + cell / 2, y) == black) != above;
        wrong_edges += (pixel(x + cell / 2, y + cell - 1) == black) != below;
    }
    std::set<support::Colour> distinct;
    for (const auto& [bits, colours] : colours_of_bits)
    {
        EXPECT_EQ(colours.size(), 1u) << "bytes of " << bits << " bits";
        distinct.insert(*colours.begin());
    }
    EXPECT_GE(colours_of_bits.size(), 6u) << "the program's bytes cost from under 1 bit to 8 and more";
    EXPECT_EQ(distinct.size(), colours_of_bits.size());
    EXPECT_EQ(wrong_edges, 0u);
}

} // namespace
