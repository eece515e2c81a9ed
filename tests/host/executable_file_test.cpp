// The program's executable file as the loader sees it, read through binutils' readelf rather than
// the build's own ELF code: what it links, what it imports, where it starts, what it runs first.
#include "file_io.h"
#include "process.h"

#include <elf.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <regex>
#include <set>
#include <sstream>
#include <tuple>

namespace {

using support::lines_of;

std::string readelf(const std::string& options, const std::string& path)
{
    support::Finished finished = support::run({"/usr/bin/readelf", options, path});
    EXPECT_TRUE(finished.status.clean_exit()) << finished.status.text() << ": " << finished.err;
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

struct Segment
{
    std::string type;
    std::uint64_t offset, address, file_size, memory_size;
    bool executable;
};

std::vector<Segment> segments_of(const std::string& path)
{
    std::vector<Segment> segments;
    std::regex row(
        R"(^\s*([A-Z_]+)\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+0x[0-9a-f]+\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(.{3}))");
    for (const std::string& line : lines_of(readelf("-lW", path)))
        if (std::smatch m; std::regex_search(line, m, row))
            segments.push_back({m[1], std::stoull(m[2], nullptr, 16), std::stoull(m[3], nullptr, 16),
                                std::stoull(m[4], nullptr, 16), std::stoull(m[5], nullptr, 16),
                                m[6].str().find('E') != std::string::npos});
    return segments;
}

std::uint64_t entry_point(const std::string& path)
{
    std::vector<std::string> entry = captured(readelf("-hW", path), R"(Entry point address:\s+0x([0-9a-f]+))");
    return entry.size() == 1 ? std::stoull(entry[0], nullptr, 16) : 0;
}

// GDK's and GObject's functions are found through libgtk-3's own dependencies.
TEST(ExecutableFile, NeedsExactlyTheToolkitAndGL)
{
    std::vector<std::string> needed = captured(readelf("-dW", STILLRAY_EXECUTABLE), R"(\(NEEDED\).*\[(.*)\])");
    EXPECT_EQ(needed, (std::vector<std::string>{"libgtk-3.so.0", "libGL.so.1"}));
}

// The program links with its imports unresolved; the build resolves them all the same, against
// GTK, GDK, GObject and libGL, and stops at one that none of them holds, naming it.
TEST(ExecutableFile, BuildStopsAtAnImportNoLibraryHolds)
{
    support::Finished built = support::run({CMAKE_COMMAND, "--build", BUILD_DIRECTORY, "--target", "misspelt_import"});
    std::string output = built.out + built.err;
    EXPECT_FALSE(built.status.clean_exit()) << "the build of a program with a misspelt import went through";
    EXPECT_NE(output.find("undefined symbol: gtk_widget_show_al"), std::string::npos) << output;
    EXPECT_NE(output.find("undefined symbol: cairo_create"), std::string::npos) << output;
}

// Every import belongs to GTK, GDK, GLib/GObject or GL: no C runtime start-up, exit, atexit,
// C++ runtime or stack-guard routine. The program exports nothing, so the trimmed file has no
// hash table, from which readelf would size the symbol table; the tables are read through the
// linked file's section headers instead (the trim keeps their bytes, see below).
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
    std::vector<std::string> start = captured(readelf("-sW", STILLRAY_LINKED),
                                              R"(^\s*\d+:\s+([0-9a-f]+)\s+\d+\s+FUNC\s+GLOBAL\s+\S+\s+\d+\s+_start$)");
    ASSERT_EQ(start.size(), 1u) << "the linked file defines _start once";
    std::uint64_t entry = entry_point(STILLRAY_EXECUTABLE);
    EXPECT_EQ(entry, std::stoull(start[0], nullptr, 16));
    std::vector<Segment> segments = segments_of(STILLRAY_EXECUTABLE);
    EXPECT_TRUE(std::any_of(segments.begin(), segments.end(), [&](const Segment& s) {
        return s.type == "LOAD" && s.executable && entry >= s.address && entry < s.address + s.file_size;
    }));
}

TEST(ExecutableFile, HasNoConstructorsOrDestructors)
{
    std::string dynamic = readelf("-dW", STILLRAY_EXECUTABLE);
    for (const char* tag : {"(INIT)", "(INIT_ARRAY)", "(PREINIT_ARRAY)", "(FINI)", "(FINI_ARRAY)"})
        EXPECT_EQ(dynamic.find(tag), std::string::npos) << tag;
}

// What the process sees is what the linker made: every loadable segment fills the same memory
// with the same bytes (a file byte cut from the end of the last one is a zero the kernel fills
// in), but for the dynamic section, which keeps every entry the loader reads, in order, and the
// symbol hash table: the program defines no dynamic symbol, so the table finds nothing, and the
// trim drops it (zeroes in memory, no entry). Of the rest, the file keeps nothing: it ends with
// the last segment's file bytes, without section headers.
TEST(ExecutableFile, TrimKeepsWhatTheLoaderReads)
{
    std::string linked = support::read_text(STILLRAY_LINKED), trimmed = support::read_text(STILLRAY_EXECUTABLE);
    std::vector<Segment> linked_segments = segments_of(STILLRAY_LINKED),
                         trimmed_segments = segments_of(STILLRAY_EXECUTABLE);
    ASSERT_EQ(trimmed_segments.size(), linked_segments.size());
    ASSERT_GE(trimmed.size(), 64u);
    for (std::string* file : {&linked, &trimmed})
    {
        file->replace(offsetof(Elf64_Ehdr, e_shoff), 8, 8, '\0');
        file->replace(offsetof(Elf64_Ehdr, e_shentsize), 6, 6, '\0'); // and e_shnum, e_shstrndx
    }
    const Segment* dynamic = nullptr;
    for (const Segment& s : linked_segments)
        if (s.type == "DYNAMIC")
            dynamic = &s;
    ASSERT_NE(dynamic, nullptr);
    std::vector<std::string> table = captured(readelf("-hW", STILLRAY_LINKED), R"(Start of program headers:\s+(\d+))");
    ASSERT_EQ(table.size(), 1u);
    std::uint64_t table_offset = std::stoull(table[0]), table_size = sizeof(Elf64_Phdr) * linked_segments.size();
    std::vector<std::string> defined =
        captured(readelf("--dyn-syms", STILLRAY_LINKED), R"(^\s*\d+:\s+\S+\s+\d+\s+\S+\s+\S+\s+\S+\s+(\S+))");
    ASSERT_FALSE(defined.empty());
    EXPECT_EQ(std::count(defined.begin(), defined.end(), "UND"), std::ssize(defined)) << "a symbol the program exports";
    std::vector<std::string> hash_table = captured(readelf("-SW", STILLRAY_LINKED), R"(\.gnu\.hash\s+GNU_HASH\s+(.*))");
    ASSERT_EQ(hash_table.size(), 1u);
    std::uint64_t hash_address = 0, hash_offset = 0, hash_size = 0;
    std::istringstream(hash_table[0]) >> std::hex >> hash_address >> hash_offset >> hash_size;
    ASSERT_GT(hash_size, 0u);
    std::vector<std::string> symbol_table = captured(readelf("-SW", STILLRAY_LINKED), R"(\.dynsym\s+DYNSYM\s+(.*))");
    ASSERT_EQ(symbol_table.size(), 1u);
    std::uint64_t symbols_address = 0, symbols_offset = 0, symbols_size = 0;
    std::istringstream(symbol_table[0]) >> std::hex >> symbols_address >> symbols_offset >> symbols_size;
    // A segment's memory as the kernel fills it, less the program header table and the dynamic
    // section, which are compared entry by entry.
    auto memory = [&](const std::string& file, const Segment& s) {
        std::string bytes = file.substr(s.offset, s.file_size);
        bytes.resize(s.memory_size, '\0');
        for (auto [offset, address, size] : {std::tuple{table_offset, s.address + table_offset - s.offset, table_size},
                                             std::tuple{dynamic->offset, dynamic->address, dynamic->memory_size}})
            if (offset >= s.offset && offset + size <= s.offset + s.memory_size)
                bytes.replace(address - s.address, size, size, '\0');
        return bytes;
    };
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < linked_segments.size(); ++i)
    {
        const Segment &before = linked_segments[i], &after = trimmed_segments[i];
        EXPECT_EQ(after.type, before.type);
        EXPECT_EQ(after.offset, before.offset);
        EXPECT_EQ(after.address, before.address);
        ASSERT_LE(after.offset + after.file_size, trimmed.size());
        end = std::max(end, after.offset + after.file_size);
        if (before.type == "LOAD")
        {
            EXPECT_EQ(after.memory_size, before.memory_size);
            EXPECT_LE(after.file_size, before.file_size);
            std::string expected = memory(linked, before);
            if (hash_address >= before.address && hash_address + hash_size <= before.address + before.memory_size)
                expected.replace(hash_address - before.address, hash_size, hash_size, '\0');
            // An import left typeless by the link is typed a function; the loader reads no type.
            if (symbols_address >= before.address && symbols_address + symbols_size <= before.address + before.memory_size)
                for (std::uint64_t at = symbols_address - before.address + sizeof(Elf64_Sym);
                     at + sizeof(Elf64_Sym) <= symbols_address - before.address + symbols_size; at += sizeof(Elf64_Sym))
                {
                    char& info = expected[at + offsetof(Elf64_Sym, st_info)];
                    if (expected.compare(at + offsetof(Elf64_Sym, st_shndx), 2, std::string(2, '\0')) == 0 && (info & 0xf) == STT_NOTYPE)
                        info = static_cast<char>((info & 0xf0) | STT_FUNC);
                }
            EXPECT_TRUE(memory(trimmed, after) == expected) << "segment " << i;
        }
        else if (before.type != "DYNAMIC")
            EXPECT_EQ(trimmed.compare(after.offset, after.file_size, linked, before.offset, before.file_size), 0);
    }
    EXPECT_EQ(trimmed.size(), end);
    EXPECT_NE(readelf("-hW", STILLRAY_EXECUTABLE).find("Number of section headers:         0"), std::string::npos);

    // The entries, less the debugger's slot, the symbol size and the empty hash table, which the
    // loader does not read.
    auto entries = [](const std::string& listing) {
        std::vector<std::string> kept;
        for (const std::string& line : lines_of(listing))
            if (line.find(" 0x") == 0 && line.find("(DEBUG)") == std::string::npos &&
                line.find("(SYMENT)") == std::string::npos && line.find("(GNU_HASH)") == std::string::npos)
                kept.push_back(line);
        return kept;
    };
    std::vector<std::string> trimmed_entries = entries(readelf("-dW", STILLRAY_EXECUTABLE));
    EXPECT_EQ(trimmed_entries, entries(readelf("-dW", STILLRAY_LINKED)));
    EXPECT_EQ(trimmed_entries.size() * sizeof(Elf64_Dyn), trimmed_segments[dynamic - linked_segments.data()].file_size);
}

} // namespace
