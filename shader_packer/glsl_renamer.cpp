// One-letter names for the program's own symbols: greedy colouring of the graph of names that
// may not share a letter, the most used names first, each taking the most wanted free letter.
#include "glsl_renamer.h"

#include "glsl_printer.h"
#include "line_error.h"

#include <algorithm>
#include <map>
#include <thread>

namespace shader_packer::glsl {

namespace {

using Conflicts = std::map<const Symbol*, std::set<const Symbol*>>;

void add_conflict(Conflicts& conflicts, const Symbol* a, const Symbol* b)
{
    if (a == b)
        return;
    conflicts[a].insert(b);
    conflicts[b].insert(a);
}

// Overloading lets functions share a name when no call can match two of their signatures:
// they differ in length, or at a position whose parameter shapes differ (no implicit
// conversion leads to both).
bool can_share(const Symbol& a, const Symbol& b)
{
    if (a.kind != SymbolKind::Function || b.kind != SymbolKind::Function)
        return false;
    for (const auto& signature_a : a.signatures)
        for (const auto& signature_b : b.signatures)
            if (signature_a == signature_b)
                return false;
    return true;
}

// Locals of one function stay apart from each other and from every stage-level name the
// function refers to, since a local hides a global of the same name. A parameter may share
// its own function's letter: without recursion the body never calls it. A stage-level struct's
// name is a type name wherever it is written, so it stays apart from every other name, and one
// declared in a function is one of its locals; members, read only after a '.', stay apart from
// the other members of their struct. Symbols that no longer occur take part in nothing.
Conflicts find_conflicts(const Program& program)
{
    Conflicts conflicts;
    std::set<const Symbol*> locals;
    for (const FunctionScope& scope : program.function_scopes)
        for (const Symbol* local : scope.locals)
        {
            locals.insert(local);
            for (const Symbol* other : scope.locals)
                add_conflict(conflicts, local, other);
            for (const Symbol* global : scope.globals)
                if (global->uses > 0)
                    add_conflict(conflicts, local, global);
        }
    std::vector<const Symbol*> globals, structs, members;
    for (const Symbol& symbol : program.symbols)
        if (symbol.uses == 0)
            continue;
        else if (symbol.kind == SymbolKind::Member)
            members.push_back(&symbol);
        else if (!locals.contains(&symbol))
            globals.push_back(&symbol);
    for (const Symbol* a : globals)
        for (const Symbol* b : globals)
            if (a < b && !can_share(*a, *b))
                add_conflict(conflicts, a, b);
    for (const Symbol* structure : globals)
        if (structure->kind == SymbolKind::Struct)
            for (const Symbol* local : locals)
                add_conflict(conflicts, structure, local);
    for (const Symbol* a : members)
        for (const Symbol* b : members)
            if (a < b && a->owner == b->owner)
                add_conflict(conflicts, a, b);
    return conflicts;
}

// A kept name holds its letter as much as a short name does.
bool letter_taken(const std::set<const Symbol*>& neighbours, char letter)
{
    return std::any_of(neighbours.begin(), neighbours.end(), [&](const Symbol* neighbour) {
        const std::string& name = neighbour->kept ? neighbour->name : neighbour->short_name;
        return name.size() == 1 && name[0] == letter;
    });
}

bool renamable(const Symbol& symbol)
{
    return !symbol.kept && symbol.uses > 0;
}

} // namespace

void keep_names(Program& program, const std::set<std::string>& names)
{
    for (Symbol& symbol : program.symbols)
    {
        std::string name = symbol.owner ? symbol.owner->name + "." + symbol.name : symbol.name;
        symbol.kept = symbol.kept || names.contains(name);
    }
}

void keep_interface_names(Program& program)
{
    static const std::set<std::string> bound = {"in", "out", "uniform", "buffer", "attribute", "varying"};
    std::set<const Symbol*> interface;
    for (const External& external : program.externals)
        if (external.declaration &&
            std::any_of(external.declaration->type.qualifiers.begin(), external.declaration->type.qualifiers.end(),
                        [](const std::string& qualifier) { return bound.contains(qualifier); }))
            for (const Declarator& declarator : external.declaration->declarators)
                interface.insert(declarator.symbol);
    for (Symbol& symbol : program.symbols)
        symbol.kept = symbol.kept || interface.contains(&symbol);
}

// A one-letter name is a word character between tokens that are not, or beside a keyword or a
// type word with a space between, whichever letter it is: letters swap in place in the text.
namespace {

// size_of for each letter, on the machine's cores at once; in the letters' order.
std::vector<std::size_t> measure_all(const std::string& letters, const std::function<std::size_t(char)>& size_of)
{
    std::vector<std::size_t> sizes(letters.size());
    unsigned workers = std::clamp(std::thread::hardware_concurrency(), 1u, 8u);
    std::vector<std::jthread> threads;
    for (unsigned w = 0; w < workers; ++w)
        threads.emplace_back([&, w] {
            for (std::size_t i = w; i < letters.size(); i += workers)
                sizes[i] = size_of(letters[i]);
        });
    return sizes;
}

} // namespace

void tune_short_names(Program& program, std::string_view letters,
                      const std::function<std::size_t(const std::string&)>& size_of, int rounds,
                      const support::SearchObserver& observer)
{
    Conflicts conflicts = find_conflicts(program);
    std::vector<NamePlace> places;
    std::string text = print_compact(program, places);
    std::map<const Symbol*, std::vector<std::size_t>> offsets;
    for (const NamePlace& place : places)
        offsets[place.symbol].push_back(place.offset);
    auto written = [](const std::string& base, const std::vector<std::size_t>& places_of_symbol, char letter) {
        std::string with = base;
        for (std::size_t offset : places_of_symbol)
            with[offset] = letter;
        return with;
    };
    std::size_t best = size_of(text);
    auto report = [&](int round, double done) {
        if (observer)
            observer({round + 1, done, static_cast<double>(best)});
    };
    report(0, 0);
    for (int round = 0; round < rounds; ++round)
    {
        bool moved = false;
        std::size_t visited = 0;
        for (Symbol& symbol : program.symbols)
        {
            report(round, static_cast<double>(visited++) / static_cast<double>(program.symbols.size()));
            if (!renamable(symbol) || symbol.short_name.size() != 1)
                continue;
            const std::vector<std::size_t>& places_of_symbol = offsets[&symbol];
            // The letters in order, each tried on the text as the moves before it left it: the
            // rest are measured at once, and measured again after a move, which is rare.
            for (std::size_t from = 0; from < letters.size();)
            {
                std::string tried;
                std::vector<std::size_t> positions;
                for (std::size_t at = from; at < letters.size(); ++at)
                    if (letters[at] != symbol.short_name[0] && !letter_taken(conflicts[&symbol], letters[at]))
                    {
                        tried += letters[at];
                        positions.push_back(at);
                    }
                std::vector<std::size_t> sizes =
                    measure_all(tried, [&](char letter) { return size_of(written(text, places_of_symbol, letter)); });
                from = letters.size();
                for (std::size_t i = 0; i < sizes.size(); ++i)
                {
                    char letter = tried[i], kept = symbol.short_name[0];
                    if (sizes[i] < best || (sizes[i] == best && letters.find(letter) > letters.find(kept)))
                    {
                        text = written(text, places_of_symbol, letter);
                        symbol.short_name = std::string(1, letter);
                        best = sizes[i];
                        moved = true;
                        from = positions[i] + 1;
                        break;
                    }
                }
            }
        }
        report(round, 1);
        if (!moved)
            return;
    }
}

std::map<const Symbol*, std::string> symbol_keys(const Program& program)
{
    std::map<const Symbol*, std::string> keys;
    std::map<std::string, int> seen;
    for (const Symbol& symbol : program.symbols)
    {
        std::string name = symbol.owner ? symbol.owner->name + "." + symbol.name : symbol.name;
        int occurrence = ++seen[name];
        if (renamable(symbol))
            keys[&symbol] = occurrence == 1 ? name : name + "#" + std::to_string(occurrence);
    }
    return keys;
}

void assign_short_names(Program& program, std::string_view letters)
{
    assign_recorded_names(program, letters, {});
}

int assign_recorded_names(Program& program, std::string_view letters, const std::map<std::string, char>& recorded)
{
    Conflicts conflicts = find_conflicts(program);
    std::map<const Symbol*, std::string> keys = symbol_keys(program);
    std::vector<Symbol*> order;
    for (Symbol& symbol : program.symbols)
        if (renamable(symbol))
        {
            symbol.short_name.clear();
            order.push_back(&symbol);
        }
    std::stable_sort(order.begin(), order.end(), [](const Symbol* a, const Symbol* b) { return a->uses > b->uses; });
    int missed = 0;
    for (Symbol* symbol : order)
    {
        auto record = recorded.find(keys[symbol]);
        if (record != recorded.end() && letters.find(record->second) != std::string_view::npos &&
            !letter_taken(conflicts[symbol], record->second))
        {
            symbol->short_name = std::string(1, record->second);
            continue;
        }
        missed += !recorded.empty();
        auto free = std::find_if(letters.begin(), letters.end(),
                                 [&](char letter) { return !letter_taken(conflicts[symbol], letter); });
        if (free == letters.end())
            throw support::LineError(symbol->line, "more names in one scope than the " +
                                                       std::to_string(letters.size()) +
                                                       " letters available: none is left for '" + symbol->name + "'");
        symbol->short_name = std::string(1, *free);
    }
    return missed;
}

} // namespace shader_packer::glsl
