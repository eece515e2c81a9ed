// Random, well-typed GLSL programs over every operator, written fully parenthesised, and their
// readable and compact forms drawn side by side on the GL driver: the packer must not change a bit.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace random_programs {

// An expression or a statement: form is its text with an '@' where each operand goes.
struct Node
{
    std::string form;
    int type = 0;
    std::vector<Node> operands;
    bool fixed = false; // a variable written to, which no other expression may stand in for
};

// The statements of one program's body, between a fixed start that sets every variable from
// the pixel's position and a fixed end that folds every variable's bits into the colour.
struct Program
{
    Node body;
};

// The names the packer keeps in every program: one letter each, among those it would give first.
extern const std::set<std::string> kept_names;

Program random_program(std::uint64_t seed);

// The program's body as text, then a whole fragment stage that draws each program on a row of
// its own, its columns varying the values.
std::string body_text(const Program& program);
std::string fragment_source(const std::vector<Program>& programs);
std::string fragment_source(const std::vector<std::string>& bodies);

// Why the compact form of the programs' stage draws other bits than the readable one, naming
// the rows that differ; nothing when they agree. Throws when the readable stage does not build
// (a fault of the generator). Needs a current GL context.
std::optional<std::string> difference(const std::vector<std::string>& bodies);

// The program with operands and statements taken away as long as difference still finds one.
Program shrunk(Program program);

} // namespace random_programs
