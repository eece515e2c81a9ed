// The program's executable file as the loader sees it, read through binutils' readelf rather than
// the build's own ELF code: what it links, what it imports, where it starts, what it runs first.
#include "child_process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>

namespace {

std::string readelf(const std::string& options, const std::string& path)
{
    Finished finished = run_child({"/usr/bin/readelf", options, path});
    EXPECT_EQ(finished.exit_code, 0) << finished.err;
    EXPECT_EQ(finished.err, "") << "readelf " << options << " " << path;
    return finished.out;
}

// Every match of the pattern's first group, line by line.
std::vector<std::string> captured(const std::string& text, const std::string& pattern)
{
    std::vector<std::string> found;
    std::regex regex(pattern);
    for (const std::string& line : lines_of(text))
        if (std::smatch match; std::regex_search(line, match, regex))
            found.push_back(match[1]);
    return found;
}

struct LoadSegment
{
    std::uint64_t offset, address, file_size, memory_size;
    bool executable;
};

std::vector<LoadSegment> load_segments(const std::string& path)
{
    std::vector<LoadSegment> segments;
    std::regex load(R"(^\s*LOAD\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.{3}))");
    for (const std::string& line : lines_of(readelf("-lW", path)))
        if (std::smatch m; std::regex_search(line, m, load))
            segments.push_back({std::stoull(m[1], nullptr, 16), std::stoull(m[2], nullptr, 16),
                                std::stoull(m[3], nullptr, 16), std::stoull(m[4], nullptr, 16),
                                m[5].str().find('E') != std::string::npos});
    return segments;
}

std::uint64_t entry_point(const std::string& path)
{
    std::vector<std::string> entry = captured(readelf("-hW", path), R"(Entry point address:\s+0x([0-9a-f]+))");
    return entry.size() == 1 ? std::stoull(entry[0], nullptr, 16) : 0;
}

std::string file_bytes(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

TEST(ExecutableFile, NeedsExactlyTheToolkitAndGL)
{
    std::vector<std::string> needed = captured(readelf("-dW", STILLRAY_EXECUTABLE), R"(\(NEEDED\).*\[(.*)\])");
    EXPECT_EQ(std::set<std::string>(needed.begin(), needed.end()),
              (std::set<std::string>{"libgtk-3.so.0", "libgdk-3.so.0", "libgobject-2.0.so.0", "libGL.so.1"}));
    EXPECT_EQ(needed.size(), 4u);
}

// Every import belongs to GTK, GDK, GLib/GObject or GL: no C runtime start-up, exit, atexit,
// C++ runtime or stack-guard routine. The program exports nothing, so its GNU hash table is
// empty and readelf cannot size the symbol table of the trimmed file from it; the tables are read
// through the linked file's section headers instead (the trim keeps its bytes, see below).
TEST(ExecutableFile, ImportsOnlyToolkitAndGLFunctions)
{
    std::vector<std::string> imports =
        captured(readelf("-sW", STILLRAY_LINKED), R"(\s+UND\s+([A-Za-z_][A-Za-z0-9_]*))");
    ASSERT_FALSE(imports.empty());
    std::regex own_libraries("(gtk|gdk|g)_[a-z0-9_]+|gl[A-Z][A-Za-z0-9]+");
    for (const std::string& name : imports)
    {
        EXPECT_TRUE(std::regex_match(name, own_libraries)) << name;
        EXPECT_EQ(name.find("__"), std::string::npos) << name;
        EXPECT_NE(name, "exit");
        EXPECT_NE(name, "atexit");
    }
}

// The kernel hands control straight to the routine the program defines as _start: the trimmed
// file keeps the linked file's entry, and it lies in the code the file itself loads.
TEST(ExecutableFile, EntersItsOwnStartRoutine)
{
    std::vector<std::string> start =
        captured(readelf("-sW", STILLRAY_LINKED), R"(^\s*\d+:\s+([0-9a-f]+)\s+\d+\s+FUNC\s+GLOBAL\s+\S+\s+\d+\s+_start$)");
    ASSERT_EQ(start.size(), 1u) << "the linked file defines _start once";
    std::uint64_t entry = entry_point(STILLRAY_EXECUTABLE);
    EXPECT_EQ(entry, std::stoull(start[0], nullptr, 16));
    std::vector<LoadSegment> segments = load_segments(STILLRAY_EXECUTABLE);
    EXPECT_TRUE(std::any_of(segments.begin(), segments.end(), [&](const LoadSegment& s) {
        return s.executable && entry >= s.address && entry < s.address + s.file_size;
    }));
}

TEST(ExecutableFile, HasNoConstructorsOrDestructors)
{
    std::string dynamic = readelf("-dW", STILLRAY_EXECUTABLE);
    for (const char* tag : {"(INIT)", "(INIT_ARRAY)", "(PREINIT_ARRAY)", "(FINI)", "(FINI_ARRAY)"})
        EXPECT_EQ(dynamic.find(tag), std::string::npos) << tag;
}

// The trim keeps every segment's bytes in place, but for the section header fields of the file
// header, and drops only what no segment maps.
TEST(ExecutableFile, TrimKeepsEverySegmentAndNothingElse)
{
    std::string linked = file_bytes(STILLRAY_LINKED), trimmed = file_bytes(STILLRAY_EXECUTABLE);
    ASSERT_GE(trimmed.size(), 64u);
    for (std::string* file : {&linked, &trimmed})
    {
        file->replace(40, 8, 8, '\0');  // e_shoff
        file->replace(58, 6, 6, '\0');  // e_shentsize, e_shnum, e_shstrndx
    }
    std::vector<LoadSegment> segments = load_segments(STILLRAY_LINKED);
    ASSERT_FALSE(segments.empty());
    std::uint64_t end = 0;
    for (const LoadSegment& s : segments)
    {
        ASSERT_LE(s.offset + s.file_size, trimmed.size());
        EXPECT_EQ(trimmed.compare(s.offset, s.file_size, linked, s.offset, s.file_size), 0);
        end = std::max(end, s.offset + s.file_size);
    }
    EXPECT_EQ(trimmed.size(), end);
    EXPECT_NE(readelf("-hW", STILLRAY_EXECUTABLE).find("Number of section headers:         0"), std::string::npos);
    auto program_headers = [](const std::string& listing) {
        std::size_t from = listing.find("Program Headers:");
        std::string table = listing.substr(from, listing.find("Section to Segment") - from);
        return table.substr(0, table.find_last_not_of(" \n") + 1);
    };
    EXPECT_EQ(program_headers(readelf("-lW", STILLRAY_EXECUTABLE)), program_headers(readelf("-lW", STILLRAY_LINKED)));
    EXPECT_EQ(readelf("-dW", STILLRAY_EXECUTABLE), readelf("-dW", STILLRAY_LINKED));
}

} // namespace
