// One-letter names for the shader packer: which names stay as written, the letters given by
// frequency of use, and their tuning to the compressor.
#pragma once

#include "glsl_syntax.h"
#include "search_progress.h"

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <string_view>

namespace shader_packer::glsl {

// Marks the names that the caller keeps as written: every variable, function or struct of a name
// in names, and each member named there as "struct.member".
void keep_names(Program& program, const std::set<std::string>& names);

// Marks the stage-level variables that a host or another stage binds by name as kept: those
// declared in, out, uniform, buffer, attribute or varying. Interface blocks keep their names
// anyway.
void keep_interface_names(Program& program);

// Gives each renamable symbol its one-letter name. letters lists the candidates, the most
// wanted first. Throws support::LineError when a scope needs more names than there are letters.
void assign_short_names(Program& program, std::string_view letters);

// A name for each symbol that gets a short name, the same from one run to the next while the
// source declares the same names in the same order: the name as declared ("struct.member" for a
// member), with "#2", "#3", ... after the second and later symbols of that name.
std::map<const Symbol*, std::string> symbol_keys(const Program& program);

// Gives each renamable symbol the letter recorded under its key where that letter is one of
// letters and no conflicting name holds it, else as assign_short_names would. Returns how many
// symbols did not get a recorded letter. Throws support::LineError like assign_short_names.
int assign_recorded_names(Program& program, std::string_view letters, const std::map<std::string, char>& recorded);

// Improves the names that assign_short_names gave for a compressor: one symbol at a time, tries
// every other letter of letters that no conflicting name holds, and moves to it where size_of of
// the compact text falls, or stays equal and the letter comes later in letters: moves across
// equal sizes let later moves reach smaller texts, and going one way they never swing back.
// Stops after rounds passes over all symbols, or after a pass that moved nothing. The letters
// for one symbol are measured on all cores at once, so size_of must be safe to call from several
// threads; the names chosen are those of trying the letters one at a time. Tells the observer
// the size at the start, before each symbol and after each pass.
void tune_short_names(Program& program, std::string_view letters,
                      const std::function<std::size_t(const std::string&)>& size_of, int rounds,
                      const support::SearchObserver& observer = {});

} // namespace shader_packer::glsl
