// Recursive-descent parser for the GLSL the packer handles: structs, stage-level declarations,
// functions and their statements and expressions, with every name bound to its declaration
// under GLSL's scope rules.
#include "glsl_parser.h"

#include "glsl_preprocessor.h"
#include "glsl_type_inference.h"
#include "glsl_vocabulary.h"
#include "line_error.h"

#include <algorithm>
#include <map>
#include <utility>

namespace shader_packer::glsl {

namespace {

std::string describe(const Token& token)
{
    return token.kind == TokenKind::End ? "the end of the text" : "'" + token.text + "'";
}

ExprPtr make_expr(ExprKind kind, int line, std::string text = {})
{
    auto expr = std::make_unique<Expr>();
    expr->kind = kind;
    expr->text = std::move(text);
    expr->line = line;
    return expr;
}

class Parser
{
public:
    explicit Parser(std::vector<Token> tokens) : tokens_(std::move(tokens)) {}

    Program run()
    {
        scopes_.emplace_back();
        while (peek().kind != TokenKind::End)
            if (!accept(";"))
                program_.externals.push_back(parse_external());
        for (Symbol& symbol : program_.symbols)
            symbol.kept = symbol.kept || host_names_.contains(symbol.name);
        bind_fields();
        return std::move(program_);
    }

private:
    using Scope = std::map<std::string, Symbol*, std::less<>>;

    // A branch of a conditional block that the host decides, where the parser is: the blocks
    // are numbered in the order they open, their branches from 0.
    struct Branch
    {
        int block;
        int index;
        int line; // of the block's "#if"
    };
    using Path = std::vector<Branch>;

    // Whether code at a and at b never both stand for one definition a host gives: they lie in
    // different branches of one block.
    static bool apart(const Path& a, const Path& b)
    {
        for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        {
            if (a[i].block != b[i].block)
                return false;
            if (a[i].index != b[i].index)
                return true;
        }
        return false;
    }

    // Whether code at inner stands for a definition only where code at outer does.
    static bool within(const Path& inner, const Path& outer)
    {
        return outer.size() <= inner.size() &&
               std::equal(outer.begin(), outer.end(), inner.begin(),
                          [](const Branch& a, const Branch& b) { return a.block == b.block && a.index == b.index; });
    }

    // Token access.

    const Token& peek(std::size_t ahead = 0) const { return tokens_[std::min(pos_ + ahead, tokens_.size() - 1)]; }

    Token take()
    {
        Token token = peek();
        if (token.kind != TokenKind::End)
            ++pos_;
        return token;
    }

    bool next_is(std::string_view text, std::size_t ahead = 0) const
    {
        const Token& token = peek(ahead);
        return token.text == text && (token.kind == TokenKind::Punctuator || token.kind == TokenKind::Word);
    }

    bool accept(std::string_view text)
    {
        if (!next_is(text))
            return false;
        take();
        return true;
    }

    void expect(std::string_view text, std::string_view context)
    {
        if (!accept(text))
            fail("expected '" + std::string(text) + "' " + std::string(context) + ", found " + describe(peek()));
    }

    [[noreturn]] void fail(const std::string& message) const
    {
        if (peek().kind == TokenKind::Directive)
            throw support::LineError(peek().line, "directives inside a declaration or statement are not supported, "
                                                  "only between them");
        throw support::LineError(peek().line, message);
    }

    bool is_type_word(const Token& token) const
    {
        return token.kind == TokenKind::Word && (is_builtin_type(token.text) || find_struct(token.text));
    }

    // The struct that a name stands for where the parser is, under the scope rules.
    Symbol* find_struct(const std::string& name) const
    {
        for (std::size_t depth = scopes_.size(); depth-- > 0;)
            if (auto found = scopes_[depth].find(name); found != scopes_[depth].end() && visible(found->second))
                return found->second->kind == SymbolKind::Struct ? found->second : nullptr;
        return nullptr;
    }

    // Declarations and name binding.

    Token take_declared_name()
    {
        const Token& name = peek();
        if (name.kind != TokenKind::Word)
            fail("expected a name, found " + describe(name));
        if (is_reserved_name(name.text))
            fail("'" + name.text + "' is a GLSL keyword or built-in name; it cannot be declared");
        if (find_struct(name.text))
            fail("'" + name.text + "' already names a struct");
        return take();
    }

    Symbol& new_symbol(const Token& name, SymbolKind kind)
    {
        Symbol& symbol = program_.symbols.emplace_back();
        symbol.name = name.text;
        symbol.kind = kind;
        symbol.line = name.line;
        return symbol;
    }

    void note_declared(Symbol& symbol)
    {
        declared_at_[&symbol].push_back(branches_);
        symbol.conditional = symbol.conditional || branches_.size() > function_floor_;
    }

    // The symbol that name declares in scope already, in other branches of a conditional block:
    // this declaration declares it again. None where the name is new there.
    Symbol* declared_in_other_branches(const Scope& scope, const Token& name, SymbolKind kind)
    {
        auto found = scope.find(name.text);
        if (found == scope.end())
            return nullptr;
        const std::vector<Path>& places = declared_at_[found->second];
        bool elsewhere = !places.empty() && std::all_of(places.begin(), places.end(),
                                                        [&](const Path& place) { return apart(place, branches_); });
        if (!elsewhere || found->second->kind != kind)
            throw support::LineError(name.line, "'" + name.text + "' is already declared in this scope");
        return found->second;
    }

    const Symbol* declare_variable(const Token& name)
    {
        Scope& scope = scopes_.back();
        Symbol* symbol = declared_in_other_branches(scope, name, SymbolKind::Variable);
        if (symbol)
            ++symbol->uses;
        else
        {
            symbol = &new_symbol(name, SymbolKind::Variable);
            symbol->uses = 1;
            scope[name.text] = symbol;
            if (in_function())
                program_.function_scopes.back().locals.push_back(symbol);
        }
        note_declared(*symbol);
        return symbol;
    }

    const Symbol* declare_function(const Token& name, std::vector<std::string> signature)
    {
        Scope& globals = scopes_.front();
        auto found = globals.find(name.text);
        if (found != globals.end() && found->second->kind != SymbolKind::Function)
            throw support::LineError(name.line, "'" + name.text + "' is already declared as a variable");
        Symbol& symbol = found != globals.end() ? *found->second : new_symbol(name, SymbolKind::Function);
        symbol.kept = name.text == "main"; // GLSL starts the stage by this name
        ++symbol.uses;
        if (std::find(symbol.signatures.begin(), symbol.signatures.end(), signature) == symbol.signatures.end())
            symbol.signatures.push_back(std::move(signature));
        globals[name.text] = &symbol;
        note_declared(symbol);
        return &symbol;
    }

    // A symbol declared only in other branches of a conditional block than the parser's is not
    // there; one declared in a branch that the parser has left is there for some hosts only.
    bool visible(const Symbol* symbol) const
    {
        return any_declaration(symbol, [&](const Path& place) { return !apart(place, branches_); });
    }

    bool certain(const Symbol* symbol) const
    {
        return any_declaration(symbol, [&](const Path& place) { return within(branches_, place); });
    }

    // Whether one of the places that declare symbol passes the test; a symbol of no recorded
    // place (a built-in's member, say) stands everywhere.
    template <class PlaceTest>
    bool any_declaration(const Symbol* symbol, PlaceTest test) const
    {
        auto places = declared_at_.find(symbol);
        return places == declared_at_.end() || std::any_of(places->second.begin(), places->second.end(), test);
    }

    const Symbol* resolve(const std::string& name, int line)
    {
        auto visible_at = [&](std::size_t depth) {
            auto found = scopes_[depth].find(name);
            return found != scopes_[depth].end() && visible(found->second) ? found->second : nullptr;
        };
        for (std::size_t depth = scopes_.size(); depth-- > 0;)
            if (Symbol* symbol = visible_at(depth))
            {
                // Which declaration the name stands for would depend on the host.
                for (std::size_t outer = 0; outer < depth && !certain(symbol); ++outer)
                    if (visible_at(outer))
                        throw support::LineError(line,
                                                 "'" + name +
                                                     "' is declared in only some branches of a "
                                                     "conditional block and outside it too, which is not supported");
                ++symbol->uses;
                if (depth == 0 && in_function())
                    program_.function_scopes.back().globals.insert(symbol);
                return symbol;
            }
        program_.foreign_names.insert(name);
        return nullptr;
    }

    bool in_function() const { return scopes_.size() > 1; }

    // Top level.

    External parse_external()
    {
        External external;
        external.line = peek().line;
        if (peek().kind == TokenKind::Directive)
        {
            external.directive = take().text;
            follow_directive(external.directive, external.line);
        }
        else if (is_struct_declaration_start())
        {
            std::unique_ptr<Declaration> declaration = parse_struct_declaration();
            if (declaration->declarators.empty())
                external.structure = std::move(declaration->structure);
            else
                external.declaration = std::move(declaration);
        }
        else if (std::optional<std::vector<std::string>> words = parse_words_statement())
            external.words = std::move(*words);
        else if (is_interface_block_start())
            external.structure = parse_interface_block();
        else if (is_redeclaration_start())
            external.declaration = parse_redeclaration();
        else
        {
            Type type = parse_type();
            if (peek().kind == TokenKind::Word && next_is("(", 1))
                external.function = parse_function(std::move(type));
            else
                external.declaration = parse_declaration(std::move(type));
        }
        return external;
    }

    // "struct S {...};", or "const struct S {...} s, t[2];" with the struct as the declaration's
    // type.
    std::unique_ptr<Declaration> parse_struct_declaration()
    {
        auto declaration = std::make_unique<Declaration>();
        declaration->type.line = peek().line;
        declaration->type.qualifiers = parse_qualifiers();
        take();
        declaration->structure = parse_struct();
        declaration->type.name = declaration->structure->symbol->name;
        if (!declaration->type.qualifiers.empty() && next_is(";"))
            fail("qualifiers before a struct declaration without variables are not supported");
        if (accept(";"))
            return declaration;
        declaration->type.symbol = use_struct(declaration->type.name);
        std::unique_ptr<Declaration> declarators = parse_declaration(clone(declaration->type));
        declaration->declarators = std::move(declarators->declarators);
        return declaration;
    }

    // A struct is one symbol, its members its own: one declared again in another branch of a
    // conditional block would be another.
    std::unique_ptr<Struct> parse_struct()
    {
        auto structure = std::make_unique<Struct>();
        Symbol& symbol = new_symbol(take_declared_name(), SymbolKind::Struct);
        symbol.uses = 1;
        structure->symbol = &symbol;
        expect("{", "to open the struct's members");
        while (!accept("}"))
        {
            StructMember member{parse_type(), {}};
            do
            {
                Symbol& name = new_symbol(take_declared_name(), SymbolKind::Member);
                name.owner = &symbol;
                name.uses = 1;
                member.names.push_back({&name, parse_array_suffix()});
            } while (accept(","));
            expect(";", "after a struct member");
            structure->members.push_back(std::move(member));
        }
        if (declared_in_other_branches(scopes_.back(), {TokenKind::Word, symbol.name, symbol.line}, SymbolKind::Struct))
            throw support::LineError(symbol.line, "a struct declared in several branches of a conditional block ('" +
                                                      symbol.name + "') is not supported");
        scopes_.back()[symbol.name] = &symbol;
        note_declared(symbol);
        if (in_function())
            program_.function_scopes.back().locals.push_back(&symbol);
        return structure;
    }

    // A statement that is kept word for word, as it names nothing of the program's: a precision
    // statement, or qualifiers given to a built-in ("invariant gl_Position;").
    std::optional<std::vector<std::string>> parse_words_statement()
    {
        std::size_t ahead = 0;
        if (next_is("precision"))
            ahead = 3;
        else
        {
            while (peek(ahead).kind == TokenKind::Word && is_qualifier(peek(ahead).text) && !next_is("layout", ahead))
                ++ahead;
            if (ahead == 0 || !peek(ahead).text.starts_with("gl_") || !next_is(";", ahead + 1))
                return std::nullopt;
            ++ahead;
        }
        if (!next_is(";", ahead))
            return std::nullopt;
        std::vector<std::string> words;
        while (!accept(";"))
            words.push_back(take().text);
        return words;
    }

    // Qualifiers, then a name that is no type, then ';' or ','.
    bool is_redeclaration_start() const
    {
        std::size_t name = untyped_name_after_qualifiers();
        return name > 0 && (next_is(";", name + 1) || next_is(",", name + 1));
    }

    // Qualifiers given to variables declared before ("invariant colour, depth;", "precise x;"):
    // a declaration of no type whose declarators name those variables.
    std::unique_ptr<Declaration> parse_redeclaration()
    {
        auto declaration = std::make_unique<Declaration>();
        declaration->type.line = peek().line;
        declaration->type.qualifiers = parse_qualifiers();
        do
        {
            Token name = take();
            const Symbol* variable = resolve(name.text, name.line);
            if (!variable || variable->kind != SymbolKind::Variable)
                throw support::LineError(name.line,
                                         "qualifiers given to '" + name.text +
                                             "', which names no variable of the shader's, are not supported");
            declaration->declarators.push_back({variable, std::nullopt, nullptr, name.line});
        } while (accept(","));
        expect(";", "after the names given qualifiers");
        return declaration;
    }

    // Qualifiers, then a name that is no type, then '{'.
    bool is_interface_block_start() const
    {
        std::size_t name = untyped_name_after_qualifiers();
        return name > 0 && next_is("{", name + 1);
    }

    // How far ahead the name after the coming qualifiers stands, where it names no type; 0 where
    // no qualifier comes or no such name follows.
    std::size_t untyped_name_after_qualifiers() const
    {
        std::size_t ahead = qualifier_tokens();
        return ahead > 0 && peek(ahead).kind == TokenKind::Word && !is_type_word(peek(ahead)) ? ahead : 0;
    }

    // How many tokens the qualifiers that come next take, layouts included.
    std::size_t qualifier_tokens() const
    {
        std::size_t ahead = 0;
        while (peek(ahead).kind == TokenKind::Word && (is_qualifier(peek(ahead).text) || next_is("layout", ahead)))
            if (next_is("layout", ahead++) && next_is("(", ahead))
                while (peek(ahead).kind != TokenKind::End && !next_is(")", ahead++))
                    ;
        return ahead;
    }

    // "struct", perhaps after qualifiers for the variables it declares.
    bool is_struct_declaration_start() const { return next_is("struct", qualifier_tokens()); }

    // A symbol that keeps its name: a host binds it, or GLSL names it (gl_PerVertex's members).
    Symbol& new_kept_symbol(SymbolKind kind)
    {
        if (peek().kind != TokenKind::Word)
            fail("expected a name, found " + describe(peek()));
        Symbol& symbol = new_symbol(take(), kind);
        symbol.kept = true;
        symbol.uses = 1;
        return symbol;
    }

    // A stage-level variable that keeps its name, entered in scope.
    const Symbol* declare_kept_variable()
    {
        Symbol* symbol = declared_in_other_branches(scopes_.front(), peek(), SymbolKind::Variable);
        if (symbol)
        {
            take();
            ++symbol->uses;
        }
        else
        {
            symbol = &new_kept_symbol(SymbolKind::Variable);
            scopes_.front()[symbol->name] = symbol;
        }
        note_declared(*symbol);
        return symbol;
    }

    // "uniform Lights { vec3 colour[3]; } lights;": without an instance name the members are
    // stage-level variables.
    std::unique_ptr<Struct> parse_interface_block()
    {
        auto block = std::make_unique<Struct>();
        block->qualifiers = parse_qualifiers();
        block->symbol = &new_kept_symbol(SymbolKind::Struct);
        expect("{", "to open the block's members");
        while (!accept("}"))
        {
            StructMember member{parse_type(), {}};
            do
            {
                Symbol& name = new_kept_symbol(SymbolKind::Member);
                name.owner = block->symbol;
                member.names.push_back({&name, parse_array_suffix()});
            } while (accept(","));
            expect(";", "after a block member");
            block->members.push_back(std::move(member));
        }
        if (peek().kind == TokenKind::Word)
        {
            int line = peek().line;
            const Symbol* instance = declare_kept_variable();
            block->instance = Declarator{instance, parse_array_suffix(), nullptr, line};
        }
        else
            for (StructMember& member : block->members)
                for (MemberName& name : member.names)
                {
                    Symbol& variable = const_cast<Symbol&>(*name.symbol);
                    declared_in_other_branches(scopes_.front(), {TokenKind::Word, variable.name, variable.line},
                                               SymbolKind::Variable);
                    variable.kind = SymbolKind::Variable;
                    variable.owner = nullptr;
                    scopes_.front()[variable.name] = &variable;
                    note_declared(variable);
                }
        expect(";", "after a block");
        return block;
    }

    // The struct a type word names, counted as a use; none for a built-in type.
    const Symbol* use_struct(const std::string& type_word)
    {
        Symbol* found = find_struct(type_word);
        if (found)
            ++found->uses;
        return found;
    }

    // Binds each field taken from a struct of the program's to its member. Where what a field is
    // taken from has no certain type, every member of that name keeps it, whichever struct it
    // belongs to.
    void bind_fields()
    {
        TypeInference types(program_);
        std::map<const Symbol*, int> uses;
        std::set<std::string> unbound;
        visit_expressions(program_, [&](Expr& expr, bool) {
            if (expr.kind != ExprKind::Field)
                return;
            expr.symbol = types.member_of(expr);
            if (expr.symbol)
                ++uses[expr.symbol];
            else if (types.type_of(*expr.operands[0]).empty())
                unbound.insert(expr.text);
        });
        for (Symbol& symbol : program_.symbols)
            if (symbol.kind == SymbolKind::Member)
            {
                symbol.uses += uses[&symbol];
                symbol.kept = symbol.kept || unbound.contains(symbol.name);
            }
    }

    std::vector<std::string> parse_qualifiers()
    {
        std::vector<std::string> qualifiers;
        while (peek().kind == TokenKind::Word && (is_qualifier(peek().text) || next_is("layout")))
            qualifiers.push_back(next_is("layout") ? parse_layout() : take().text);
        return qualifiers;
    }

    Type parse_type()
    {
        Type type;
        type.qualifiers = parse_qualifiers();
        if (next_is("struct"))
            fail("qualifiers before a struct declaration are not supported");
        refuse_macro_as_type(0);
        if (!is_type_word(peek()))
            fail("expected a type, found " + describe(peek()));
        type.line = peek().line;
        type.name = take().text;
        type.symbol = use_struct(type.name);
        type.array = parse_array_suffix();
        return type;
    }

    // "layout(...)" kept as written, less its needless spaces.
    std::string parse_layout()
    {
        std::string text = take().text;
        expect("(", "after 'layout'");
        std::string previous = "(";
        text += previous;
        while (!accept(")"))
        {
            if (peek().kind == TokenKind::End)
                fail("unterminated layout qualifier");
            std::string token = take().text;
            text += tokens_merge(previous, token) ? " " + token : token;
            previous = token;
        }
        return text + ")";
    }

    std::optional<ArraySuffix> parse_array_suffix()
    {
        if (!accept("["))
            return std::nullopt;
        ArraySuffix suffix;
        do
        {
            ExprPtr& size = suffix.sizes.emplace_back();
            if (!accept("]"))
            {
                size = parse_conditional();
                expect("]", "to close an array size");
            }
        } while (accept("["));
        return suffix;
    }

    std::unique_ptr<Declaration> parse_declaration(Type type)
    {
        auto declaration = std::make_unique<Declaration>();
        declaration->type = std::move(type);
        do
            declaration->declarators.push_back(parse_declarator(declaration->type));
        while (accept(","));
        expect(";", "after a declaration");
        return declaration;
    }

    // A name enters its scope after its initializer: in "float x = x;" the right x is outer.
    // A stage-level declaration with a storage qualifier may redeclare a built-in variable
    // ("out float gl_FragDepth;"), which keeps its name and stays the built-in that every
    // reference names.
    Declarator parse_declarator(const Type& type)
    {
        if (!in_function() && peek().text.starts_with("gl_") && !type.qualifiers.empty())
        {
            int line = peek().line;
            const Symbol* builtin = &new_kept_symbol(SymbolKind::Variable);
            std::optional<ArraySuffix> array = parse_array_suffix();
            return {builtin, std::move(array), accept("=") ? parse_initializer() : nullptr, line};
        }
        Token name = take_declared_name();
        std::optional<ArraySuffix> array = parse_array_suffix();
        ExprPtr initializer = accept("=") ? parse_initializer() : nullptr;
        return {declare_variable(name), std::move(array), std::move(initializer), name.line};
    }

    ExprPtr parse_initializer()
    {
        if (!next_is("{"))
            return parse_assignment();
        ExprPtr list = make_expr(ExprKind::InitList, take().line);
        do
        {
            if (next_is("}"))
                break;
            list->operands.push_back(parse_initializer());
        } while (accept(","));
        expect("}", "to close an initializer list");
        return list;
    }

    struct ParameterText
    {
        Type type;
        std::optional<Token> name;
        std::optional<ArraySuffix> array;
    };

    std::unique_ptr<Function> parse_function(Type result)
    {
        Token name = take_declared_name();
        expect("(", "to open the parameters");
        std::vector<ParameterText> parameters = parse_parameter_list();
        std::vector<std::string> signature;
        for (const ParameterText& parameter : parameters)
            signature.push_back(
                parameter_shape(parameter.type.name, array_text(parameter.type.array) + array_text(parameter.array)));
        auto function = std::make_unique<Function>();
        function->result = std::move(result);
        function->symbol = declare_function(name, std::move(signature));
        function->line = name.line;
        if (accept(";"))
        {
            for (ParameterText& parameter : parameters)
                function->parameters.push_back({std::move(parameter.type), nullptr, std::move(parameter.array)});
            return function;
        }
        if (!next_is("{"))
            fail("expected '{' or ';' after the parameters, found " + describe(peek()));
        parse_body(*function, parameters);
        return function;
    }

    std::vector<ParameterText> parse_parameter_list()
    {
        std::vector<ParameterText> parameters;
        if (next_is("void") && next_is(")", 1))
            take();
        while (!accept(")"))
        {
            if (!parameters.empty())
                expect(",", "between parameters");
            ParameterText parameter{parse_type(), std::nullopt, std::nullopt};
            if (peek().kind == TokenKind::Word)
            {
                parameter.name = take_declared_name();
                parameter.array = parse_array_suffix();
            }
            parameters.push_back(std::move(parameter));
        }
        return parameters;
    }

    // Parameters and the body's outermost statements share one scope.
    void parse_body(Function& function, std::vector<ParameterText>& parameters)
    {
        program_.function_scopes.emplace_back();
        scopes_.emplace_back();
        function_floor_ = branches_.size();
        for (ParameterText& parameter : parameters)
            function.parameters.push_back({std::move(parameter.type),
                                           parameter.name ? declare_variable(*parameter.name) : unnamed_parameter(),
                                           std::move(parameter.array)});
        function.body.emplace(std::move(*parse_block()));
        scopes_.pop_back();
        function_floor_ = 0;
    }

    // A parameter that the body cannot name: kept, so that no pass moves an argument into it.
    const Symbol* unnamed_parameter()
    {
        Symbol& symbol = program_.symbols.emplace_back();
        symbol.kept = true;
        symbol.uses = 1;
        symbol.line = peek().line;
        program_.function_scopes.back().locals.push_back(&symbol);
        return &symbol;
    }

    // "[size]" as the shape key of a parameter: only constant sizes tell overloads apart.
    static std::string array_text(const std::optional<ArraySuffix>& array)
    {
        std::string text;
        for (std::size_t i = 0; array && i < array->sizes.size(); ++i)
        {
            const ExprPtr& size = array->sizes[i];
            text += size && size->kind == ExprKind::Literal ? "[" + size->text + "]" : "[?]";
        }
        return text;
    }

    // Statements.

    // A statement, placed at the line of its first token.
    StmtPtr parse_statement()
    {
        int line = peek().line;
        StmtPtr stmt = parse_unplaced_statement();
        stmt->line = line;
        return stmt;
    }

    StmtPtr parse_unplaced_statement()
    {
        if (next_is("{"))
            return parse_scoped([&] { return parse_block(); });
        if (accept("if"))
            return parse_if();
        if (accept("while"))
            return parse_while();
        if (accept("do"))
            return parse_do_while();
        if (accept("for"))
            return parse_scoped([&] { return parse_for(); });
        if (accept("return"))
            return parse_return();
        if (next_is("break") || next_is("continue") || next_is("discard"))
        {
            StmtPtr jump = make_stmt(StmtKind::Jump);
            jump->text = take().text;
            expect(";", "after '" + jump->text + "'");
            return jump;
        }
        if (next_is("precision"))
        {
            StmtPtr words = make_stmt(StmtKind::Words);
            while (!accept(";"))
            {
                if (peek().kind == TokenKind::End)
                    fail("expected ';' after a precision statement, found " + describe(peek()));
                words->words.push_back(take().text);
            }
            return words;
        }
        if (accept("switch"))
            return parse_switch();
        if (next_is("case") || next_is("default"))
            fail("'" + peek().text + "' labels outside the braces of a switch are not supported");
        if (is_struct_declaration_start())
        {
            StmtPtr stmt = make_stmt(StmtKind::Declaration);
            stmt->declaration = parse_struct_declaration();
            return stmt;
        }
        if (accept(";"))
            return make_stmt(StmtKind::Empty);
        return parse_simple_statement();
    }

    template <class ParseFunction>
    StmtPtr parse_scoped(ParseFunction parse_function)
    {
        scopes_.emplace_back();
        StmtPtr stmt = parse_function();
        scopes_.pop_back();
        return stmt;
    }

    // The branch or body of if, while, do and for: a scope of its own even without braces.
    StmtPtr parse_substatement()
    {
        return parse_scoped([&] { return parse_statement(); });
    }

    StmtPtr parse_block()
    {
        StmtPtr block = make_stmt(StmtKind::Block);
        block->line = take().line;
        std::size_t outer_floor = std::exchange(block_floor_, branches_.size());
        while (!accept("}"))
        {
            if (peek().kind == TokenKind::End)
                fail("expected '}' to close a block, found " + describe(peek()));
            block->statements.push_back(parse_block_item());
        }
        close_braces(outer_floor);
        return block;
    }

    // A statement, or a directive line between statements.
    StmtPtr parse_block_item()
    {
        if (peek().kind != TokenKind::Directive)
            return parse_statement();
        StmtPtr directive = make_stmt(StmtKind::Directive);
        directive->line = peek().line;
        directive->text = take().text;
        follow_directive(directive->text, directive->line);
        return directive;
    }

    // The conditional blocks opened inside braces close inside them.
    void close_braces(std::size_t outer_floor)
    {
        if (branches_.size() > block_floor_)
            throw support::LineError(branches_.back().line, "conditional blocks across a brace are not supported");
        block_floor_ = outer_floor;
    }

    // Follows a directive where a declaration or statement may stand: a conditional block's
    // directives move the parser from branch to branch.
    void follow_directive(const std::string& directive, int line)
    {
        note_host_names(directive);
        int step = conditional_step(directive);
        if ((step < 0 || continues_conditional(directive)) && branches_.size() <= block_floor_)
            throw support::LineError(line, "conditional blocks across a brace are not supported");
        if (step > 0)
            branches_.push_back({blocks_opened_++, 0, line});
        else if (step < 0)
            branches_.pop_back();
        else if (continues_conditional(directive))
            ++branches_.back().index;
    }

    // A host may define as a macro what a condition tests, and a macro written out for it
    // names what its body names: symbols of these names keep them, and no short name takes one.
    void note_host_names(const std::string& directive)
    {
        std::string_view name = directive_name(directive);
        if (name != "#define" && name != "#undef" && name != "#elif" && conditional_step(directive) <= 0)
            return;
        std::vector<Token> words = tokenize(directive_rest(directive), 0);
        if (name == "#define")
            host_macros_.insert(words[0].text);
        for (const Token& word : words)
            if (word.kind == TokenKind::Word && word.text != "defined")
            {
                host_names_.insert(word.text);
                program_.foreign_names.insert(word.text);
            }
    }

    // A macro written out for the host, where a type would be: the parser cannot tell what it
    // declares.
    void refuse_macro_as_type(std::size_t ahead) const
    {
        if (host_macros_.contains(peek().text) && peek(ahead).kind == TokenKind::Word)
            fail("a macro that a conditional block defines ('" + peek().text +
                 "') may stand only for an expression, not for a type");
    }

    StmtPtr parse_simple_statement()
    {
        refuse_macro_as_type(1);
        if (is_redeclaration_start())
        {
            StmtPtr stmt = make_stmt(StmtKind::Declaration);
            stmt->declaration = parse_redeclaration();
            return stmt;
        }
        if (is_declaration_start())
        {
            StmtPtr stmt = make_stmt(StmtKind::Declaration);
            stmt->line = peek().line;
            stmt->declaration = parse_declaration(parse_type());
            return stmt;
        }
        StmtPtr stmt = make_stmt(StmtKind::Expression);
        stmt->line = peek().line;
        stmt->expr = parse_expression();
        expect(";", "after an expression");
        return stmt;
    }

    // A qualifier, or a type followed by a name (perhaps after "[size]"): "vec3(1.0);" is not.
    bool is_declaration_start() const
    {
        const Token& first = peek();
        if (first.kind == TokenKind::Word && (is_qualifier(first.text) || first.text == "layout"))
            return true;
        if (!is_type_word(first))
            return false;
        std::size_t ahead = 1;
        while (next_is("[", ahead))
        {
            while (peek(ahead).kind != TokenKind::End && !next_is("]", ahead))
                ++ahead;
            ++ahead;
        }
        return peek(ahead).kind == TokenKind::Word;
    }

    ExprPtr parse_condition(std::string_view statement)
    {
        expect("(", "after '" + std::string(statement) + "'");
        ExprPtr condition = parse_expression();
        expect(")", "to close the condition of '" + std::string(statement) + "'");
        return condition;
    }

    StmtPtr parse_if()
    {
        StmtPtr stmt = make_stmt(StmtKind::If);
        stmt->condition = parse_condition("if");
        stmt->then_branch = parse_substatement();
        if (accept("else"))
            stmt->else_branch = parse_substatement();
        return stmt;
    }

    StmtPtr parse_while()
    {
        StmtPtr stmt = make_stmt(StmtKind::While);
        stmt->condition = parse_condition("while");
        stmt->body = parse_substatement();
        return stmt;
    }

    StmtPtr parse_do_while()
    {
        StmtPtr stmt = make_stmt(StmtKind::DoWhile);
        stmt->body = parse_substatement();
        expect("while", "after the body of 'do'");
        stmt->condition = parse_condition("do-while");
        expect(";", "after 'do-while'");
        return stmt;
    }

    StmtPtr parse_for()
    {
        StmtPtr stmt = make_stmt(StmtKind::For);
        expect("(", "after 'for'");
        stmt->init = accept(";") ? make_stmt(StmtKind::Empty) : parse_simple_statement();
        if (!next_is(";"))
            stmt->condition = parse_expression();
        expect(";", "after the condition of 'for'");
        if (!next_is(")"))
            stmt->step = parse_expression();
        expect(")", "to close 'for'");
        stmt->body = parse_substatement();
        return stmt;
    }

    // The body is one scope, its labels among its statements.
    StmtPtr parse_switch()
    {
        StmtPtr stmt = make_stmt(StmtKind::Switch);
        stmt->condition = parse_condition("switch");
        expect("{", "to open the body of 'switch'");
        scopes_.emplace_back();
        std::size_t outer_floor = std::exchange(block_floor_, branches_.size());
        while (!accept("}"))
        {
            if (peek().kind == TokenKind::End)
                fail("expected '}' to close a switch, found " + describe(peek()));
            if (!next_is("case") && !next_is("default"))
            {
                stmt->statements.push_back(parse_block_item());
                continue;
            }
            StmtPtr label = make_stmt(StmtKind::Case);
            label->line = peek().line;
            if (take().text == "case")
                label->expr = parse_conditional();
            expect(":", "after a case label");
            stmt->statements.push_back(std::move(label));
        }
        close_braces(outer_floor);
        scopes_.pop_back();
        return stmt;
    }

    StmtPtr parse_return()
    {
        StmtPtr stmt = make_stmt(StmtKind::Return);
        if (!next_is(";"))
            stmt->expr = parse_expression();
        expect(";", "after 'return'");
        return stmt;
    }

    // Expressions, loosest first.

    ExprPtr parse_expression()
    {
        ExprPtr expr = parse_assignment();
        while (next_is(","))
        {
            int line = take().line;
            expr = binary(",", line, std::move(expr), parse_assignment());
        }
        return expr;
    }

    ExprPtr parse_assignment()
    {
        ExprPtr target = parse_conditional();
        if (peek().kind != TokenKind::Punctuator || !is_assignment_operator(peek().text))
            return target;
        Token op = take();
        return binary(op.text, op.line, std::move(target), parse_assignment());
    }

    ExprPtr parse_conditional()
    {
        ExprPtr condition = parse_binary(binary_operator_level("||"));
        if (!next_is("?"))
            return condition;
        ExprPtr conditional = make_expr(ExprKind::Conditional, take().line);
        conditional->operands.push_back(std::move(condition));
        conditional->operands.push_back(parse_expression());
        expect(":", "in a conditional expression");
        conditional->operands.push_back(parse_assignment());
        return conditional;
    }

    // Left-associative binary operators binding at least as tightly as min_level.
    ExprPtr parse_binary(int min_level)
    {
        ExprPtr left = parse_unary();
        for (;;)
        {
            int level = peek().kind == TokenKind::Punctuator ? binary_operator_level(peek().text) : 0;
            if (level < min_level || level == 0)
                return left;
            Token op = take();
            left = binary(op.text, op.line, std::move(left), parse_binary(level + 1));
        }
    }

    static ExprPtr binary(std::string op, int line, ExprPtr left, ExprPtr right)
    {
        ExprPtr expr = make_expr(ExprKind::Binary, line, std::move(op));
        expr->operands.push_back(std::move(left));
        expr->operands.push_back(std::move(right));
        return expr;
    }

    ExprPtr parse_unary()
    {
        for (std::string_view op : {"+", "-", "!", "~", "++", "--"})
            if (next_is(op))
            {
                ExprPtr expr = make_expr(ExprKind::Prefix, take().line, std::string(op));
                expr->operands.push_back(parse_unary());
                return expr;
            }
        return parse_postfix(parse_primary());
    }

    ExprPtr parse_postfix(ExprPtr expr)
    {
        for (;;)
        {
            ExprPtr outer;
            if (next_is("["))
            {
                outer = make_expr(ExprKind::Index, take().line);
                outer->operands.push_back(std::move(expr));
                outer->operands.push_back(parse_expression());
                expect("]", "to close an index");
            }
            else if (accept("."))
            {
                if (peek().kind != TokenKind::Word)
                    fail("expected a field or swizzle after '.', found " + describe(peek()));
                Token field = take();
                outer = make_expr(ExprKind::Field, field.line, field.text);
                outer->operands.push_back(std::move(expr));
                if (next_is("("))
                    outer = parse_call(std::move(outer));
            }
            else if (next_is("++") || next_is("--"))
            {
                Token op = take();
                outer = make_expr(ExprKind::Postfix, op.line, op.text);
                outer->operands.push_back(std::move(expr));
            }
            else
                return expr;
            expr = std::move(outer);
        }
    }

    ExprPtr parse_primary()
    {
        const Token& token = peek();
        if (token.kind == TokenKind::Number || next_is("true") || next_is("false"))
            return make_expr(ExprKind::Literal, token.line, take().text);
        if (accept("("))
        {
            ExprPtr inner = parse_expression();
            expect(")", "to close a parenthesis");
            return inner;
        }
        if (is_type_word(token))
            return parse_constructor();
        if (token.kind != TokenKind::Word || is_keyword(token.text))
            fail("expected an expression, found " + describe(token));
        int line = token.line;
        std::string name = take().text;
        ExprPtr callee = make_expr(ExprKind::Name, line, name);
        callee->symbol = resolve(name, line);
        return next_is("(") ? parse_call(std::move(callee)) : std::move(callee);
    }

    // "vec3(...)", "material(...)" or "vec4[](...)".
    ExprPtr parse_constructor()
    {
        int line = peek().line;
        ExprPtr type = make_expr(ExprKind::Name, line, take().text);
        type->symbol = use_struct(type->text);
        std::optional<ArraySuffix> array = parse_array_suffix();
        if (!next_is("("))
            fail("expected '(' after the type '" + type->text + "', found " + describe(peek()));
        ExprPtr call = parse_call(std::move(type));
        call->array = std::move(array);
        return call;
    }

    ExprPtr parse_call(ExprPtr callee)
    {
        ExprPtr call = make_expr(ExprKind::Call, take().line);
        call->operands.push_back(std::move(callee));
        if (next_is("void") && next_is(")", 1))
            take();
        while (!accept(")"))
        {
            if (call->operands.size() > 1)
                expect(",", "between arguments");
            call->operands.push_back(parse_assignment());
        }
        return call;
    }

    std::vector<Token> tokens_;
    std::size_t pos_ = 0;
    Program program_;
    std::vector<Scope> scopes_;
    Path branches_; // of the conditional blocks open where the parser is
    int blocks_opened_ = 0;
    std::size_t block_floor_ = 0;                            // the branches open where the innermost braces opened
    std::size_t function_floor_ = 0;                         // and where the function's body opened
    std::map<const Symbol*, std::vector<Path>> declared_at_; // each declaration's place
    std::set<std::string> host_names_;                       // that a host may define, or its macros name
    std::set<std::string> host_macros_;                      // defined by directives written out for the host
};

} // namespace

Program parse(std::string_view source)
{
    return Parser(lex(source)).run();
}

} // namespace shader_packer::glsl
