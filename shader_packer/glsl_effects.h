// What evaluating GLSL code may read and write: the passes that move, drop or copy code ask it
// whether every value stays the same.
#pragma once

#include "glsl_syntax.h"

#include <map>
#include <set>
#include <vector>

namespace shader_packer::glsl {

struct Effects
{
    std::set<const Symbol*> reads;  // variables read, those the functions called read included
    std::set<const Symbol*> writes; // variables written, likewise
    // Anything else: a built-in variable written, or a built-in function called that is not
    // pure (see is_pure_builtin_function).
    bool opaque = false;

    // Changes nothing, and gives the same value wherever what it reads holds the same values.
    bool pure() const { return writes.empty() && !opaque; }
    bool writes_any_of(const std::set<const Symbol*>& variables) const;
    void add(const Effects& other);
};

// The effects of the program's code as the tree stands; rebuild it after changing the tree.
class EffectAnalysis
{
public:
    explicit EffectAnalysis(const Program& program);

    Effects of(const Expr& expr) const;
    // The statement with everything nested in it.
    Effects of(const Stmt& stmt) const;
    // What a call of the function changes outside its own variables: the stage-level variables
    // it reads and writes; an out or inout parameter shows as a write at the call.
    const Effects& of_function(const Symbol* function) const;

private:
    struct Callee
    {
        Effects stage_level;
        std::vector<std::vector<bool>> written_parameters; // per overload, per parameter
    };

    void add(const Expr& expr, Effects& effects) const;
    void add(const Stmt& stmt, Effects& effects) const;
    void add_call(const Expr& call, Effects& effects) const;
    void add_written(const Expr& target, Effects& effects) const;

    std::map<const Symbol*, Callee> functions_;
};

} // namespace shader_packer::glsl
