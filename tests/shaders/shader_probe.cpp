// Reads, edits, builds and runs shader sources for the tests.
#include "shader_probe.h"

#include "file_io.h"

#include <regex>
#include <stdexcept>

namespace shader_probe {

std::unique_ptr<offscreen::Context> DriverTest::context_;
std::optional<offscreen::Failure> DriverTest::open_failure_;

std::string readable_vertex()
{
    return support::read_text(STILLRAY_VERTEX_SOURCE);
}

std::string readable_fragment()
{
    return support::read_text(STILLRAY_FRAGMENT_SOURCE);
}

std::string replaced(std::string text, std::string_view from, std::string_view to)
{
    std::size_t at = text.find(from);
    if (at == std::string::npos || text.find(from, at + 1) != std::string::npos)
        throw std::runtime_error("expected exactly one \"" + std::string(from) + "\" in the shader source");
    return text.replace(at, from.size(), to);
}

std::vector<double> statement_numbers(std::string_view start)
{
    std::string code = std::regex_replace(readable_fragment(), std::regex("//[^\n]*"), "");
    std::size_t at = code.find(start);
    if (at == std::string::npos || code.find(start, at + 1) != std::string::npos)
        throw std::runtime_error("expected exactly one \"" + std::string(start) + "\" in the shader source");
    std::string statement = code.substr(at, code.find(';', at) - at);
    // A literal on its own, or one that is a whole vector's only argument.
    static const std::regex literal(R"((?:vec([234])\(\s*|(?:^|[^\w.]))(-?[0-9]*\.?[0-9]+(?:e[-+]?[0-9]+)?)(\s*\))?)");
    std::vector<double> numbers;
    for (std::sregex_iterator match(statement.begin(), statement.end(), literal), end; match != end; ++match)
    {
        bool whole_vector = (*match)[1].matched && (*match)[3].matched;
        numbers.insert(numbers.end(), whole_vector ? std::stoi((*match)[1]) : 1, std::stod((*match)[2]));
    }
    return numbers;
}

std::string probe_source(std::string_view probe_main)
{
    std::string text = replaced(readable_fragment(), "#version 450\n",
                                "#version 450\nlayout(pixel_center_integer) in vec4 gl_FragCoord;\n");
    text = replaced(text, "void main()", "void picture_main()");
    return text + "\n" + std::string(probe_main);
}

GLuint build(const char* vertex_text, const char* fragment_text)
{
    offscreen::Result<GLuint> program = offscreen::link_checked(vertex_text, fragment_text);
    if (auto* failure = std::get_if<offscreen::Failure>(&program))
        throw std::runtime_error(failure->message);
    return std::get<GLuint>(program);
}

GLuint build(const std::string& fragment_text)
{
    return build(readable_vertex().c_str(), fragment_text.c_str());
}

std::vector<Vec3> run_columns(std::string_view probe_main, int columns)
{
    GLuint program = build(probe_source(probe_main));
    support::Image<float> row = offscreen::render<float>(program, offscreen::Size{columns, 1});
    glDeleteProgram(program);
    std::vector<Vec3> results;
    for (int x = 0; x < columns; ++x)
        results.push_back(pixel(row, x, 0));
    return results;
}

std::vector<Vec3> evaluate(std::string_view helpers, const std::vector<std::string>& expressions)
{
    std::string cases;
    for (std::size_t i = 0; i < expressions.size(); ++i)
        cases += "    case " + std::to_string(i) + ": frag_color = " + expressions[i] + "; break;\n";
    std::string probe_main = "void main()\n{\n    switch (int(gl_FragCoord.x))\n    {\n" + cases + "    }\n}\n";
    return run_columns(std::string(helpers) + "\n" + probe_main, int(expressions.size()));
}

void DriverTest::SetUpTestSuite()
{
    context_ = std::make_unique<offscreen::Context>();
    open_failure_ = context_->open();
}

void DriverTest::TearDownTestSuite()
{
    context_.reset();
}

std::string DriverTest::renderer()
{
    return context_->renderer();
}

void DriverTest::SetUp()
{
    if (open_failure_)
        GTEST_FAIL() << open_failure_->message;
}

} // namespace shader_probe
