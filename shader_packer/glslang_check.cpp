// The glslang checks (see glslang_check.h).
#include "glslang_check.h"

#include "file_io.h"
#include "process.h"

#include <algorithm>
#include <cstdlib>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace shader_packer {

namespace fs = std::filesystem;

namespace {

// One problem glslang reports: in a file at a line, or of the link, with no file and line 0.
struct Problem
{
    const fs::path* file = nullptr;
    int line = 0;
    bool error = true;
    std::string text;
};

std::string trimmed(std::string_view text)
{
    std::size_t begin = text.find_first_not_of(" \t\n"), end = text.find_last_not_of(" \t\n");
    return begin == std::string_view::npos ? "" : std::string(text.substr(begin, end - begin + 1));
}

// The file that glslang names as given or by its file name; none for a string number.
const fs::path* file_named(std::string_view name, std::span<const fs::path> files)
{
    auto file = std::ranges::find_if(
        files, [&](const fs::path& path) { return name == path.string() || name == path.filename().string(); });
    return file == files.end() ? nullptr : &*file;
}

// -d reads a source without #version as the GL driver does, as GLSL 1.10 rather than OpenGL ES;
// -l links the files as one program.
support::Finished run_glslang(std::span<const fs::path> files)
{
    const char* directories = std::getenv("PATH");
    std::vector<std::string> command = {
        support::program_on_path("glslangValidator", directories ? directories : "").string(), "-d", "-l"};
    for (const fs::path& file : files)
        command.push_back(file.string());
    return support::run(command);
}

// glslang's messages in the forms its versions print: "ERROR: 0:52: 'x' : undeclared identifier"
// (a string number, in the file whose name came on a line of its own before) or with the file's
// name for the 0 and a column after the line, "ERROR: Linking vertex and fragment stages: ..."
// with indented lines that go on, and a count of the errors at the end. glslang stops a stage at
// its first error; what it says after that about the stage and the link follows from it and is
// left out.
std::vector<Problem> problems_of(const support::Finished& glslang, std::span<const fs::path> files)
{
    static const std::regex located(R"((ERROR|WARNING): (.+?):(\d{1,9})(?::\d+)?: (.*))");
    static const std::regex unlocated(R"((ERROR|WARNING): (.*))");
    static const std::regex consequence(R"(.*compilation terminated|\d+ compilation errors?\..*)");
    std::vector<Problem> problems;
    const fs::path* current = files.size() == 1 ? files.data() : nullptr;
    for (const std::string& line : support::lines_of(glslang.out + glslang.err))
    {
        std::smatch match;
        if (const fs::path* file = file_named(line, files))
            current = file;
        else if (!problems.empty() && (line.starts_with(' ') || line.starts_with('\t')))
            problems.back().text += (problems.back().text.ends_with(':') ? " " : ", ") + trimmed(line);
        else if (std::regex_match(line, match, located))
        {
            const fs::path* file = file_named(match.str(2), files);
            problems.push_back(
                {file ? file : current, std::stoi(match.str(3)), match.str(1) == "ERROR", trimmed(match.str(4))});
        }
        else if (std::regex_match(line, match, unlocated))
            problems.push_back({nullptr, 0, match.str(1) == "ERROR", trimmed(match.str(2))});
    }
    std::erase_if(problems, [](const Problem& problem) { return std::regex_match(problem.text, consequence); });
    if (std::ranges::any_of(problems, [](const Problem& problem) { return problem.error && problem.file; }))
        std::erase_if(problems, [](const Problem& problem) { return !problem.file; });
    return problems;
}

// The files of the stages a link message names ("Linking vertex and fragment stages: ..."), or
// all of them where it names none.
std::string stage_files(std::string_view text, std::span<const fs::path> files)
{
    std::string_view stages = text.substr(0, text.find(':'));
    std::string named, all;
    for (const fs::path& file : files)
    {
        std::string_view stage = file.extension() == ".vert" ? "vertex" : file.extension() == ".frag" ? "fragment" : "";
        all += (all.empty() ? "" : ", ") + file.string();
        if (!stage.empty() && stages.find(stage) != std::string_view::npos)
            named += (named.empty() ? "" : ", ") + file.string();
    }
    return named.empty() ? all : named;
}

void print(const Problem& problem, std::span<const fs::path> files, std::ostream& messages)
{
    std::string place = problem.file ? problem.file->string() : stage_files(problem.text, files);
    if (problem.line > 0)
        place += ":" + std::to_string(problem.line);
    messages << place << ": " << (problem.error ? "error" : "warning") << ": " << problem.text << "\n";
    if (!problem.file || problem.line == 0)
        return;
    std::vector<std::string> lines = support::lines_of(support::read_text(*problem.file));
    if (static_cast<std::size_t>(problem.line) <= lines.size())
        messages << std::setw(5) << problem.line << " | " << lines[problem.line - 1] << "\n";
}

} // namespace

bool check_sources(std::span<const fs::path> sources, std::ostream& messages)
{
    support::Finished glslang = run_glslang(sources);
    std::vector<Problem> problems = problems_of(glslang, sources);
    for (const Problem& problem : problems)
        print(problem, sources, messages);
    if (std::ranges::any_of(problems, &Problem::error))
        return false;
    if (glslang.status.clean_exit())
        return true;
    messages << stage_files("", sources) << ": error: glslangValidator ended with " << glslang.status.text() << ": "
             << trimmed(glslang.out + glslang.err) << "\n";
    return false;
}

bool check_compact_text(const fs::path& source, std::string_view compact_text, const fs::path& kept,
                        std::ostream& messages)
{
    try
    {
        support::TempDir directory("compact");
        fs::path compact = directory.path() / source.filename();
        support::write_file_atomically(compact, compact_text);
        support::Finished glslang = run_glslang({&compact, 1});
        std::vector<Problem> problems = problems_of(glslang, {&compact, 1});
        auto error = std::ranges::find_if(problems, &Problem::error);
        if (glslang.status.clean_exit() && error == problems.end())
            return true;
        std::ostringstream source_messages;
        if (!check_sources({&source, 1}, source_messages))
        {
            messages << source_messages.str();
            return false;
        }
        support::write_file_atomically(kept, compact_text);
        messages << kept.string();
        if (error != problems.end() && error->line > 0)
            messages << ":" << error->line;
        messages << ": error: the packer's fault: glslang accepts " << source.string()
                 << " but not this compact form of it: "
                 << (error != problems.end() ? error->text : "glslangValidator ended with " + glslang.status.text())
                 << "\n";
    }
    catch (const std::exception& error)
    {
        messages << source.string() << ": error: " << error.what() << "\n";
    }
    return false;
}

} // namespace shader_packer
