// Compact GLSL printer: short names, shortest literals, a space only where tokens would merge,
// parentheses only where precedence needs them, braces only where scope or "else" needs them.
#include "glsl_printer.h"

#include "glsl_lexer.h"
#include "glsl_numbers.h"

namespace shader_packer::glsl {

namespace {

// Appends tokens, separating two only where they would otherwise read back as others, and
// notes for each character the source line it comes from (a separating space, the next token's).
class TokenWriter
{
public:
    explicit TokenWriter(std::vector<int>* source_lines) : source_lines_(source_lines) {}

    // The source line of what is written next.
    int source_line = 0;

    // Returns where text starts in the output.
    std::size_t token(std::string_view text)
    {
        if (text.empty())
            return text_.size();
        if (!last_.empty() && tokens_merge(last_, text))
            append(" ");
        append(text);
        last_ = text;
        return text_.size() - text.size();
    }

    // A whole line, such as a directive, which must start a line of its own.
    void line(std::string_view text)
    {
        if (!text_.empty() && text_.back() != '\n')
            append("\n");
        append(text);
        append("\n");
        last_.clear();
    }

    std::string take() { return std::move(text_); }

private:
    void append(std::string_view text)
    {
        text_ += text;
        if (source_lines_)
            source_lines_->insert(source_lines_->end(), text.size(), source_line);
    }

    std::vector<int>* source_lines_;
    std::string text_;
    std::string last_;
};

// Writes what follows as coming from a node's source line while it lasts. A node that a pass
// made without a line stays with the line of the node around it.
class LineScope
{
public:
    LineScope(TokenWriter& out, int line) : out_(out), outer_(out.source_line)
    {
        if (line > 0)
            out.source_line = line;
    }
    LineScope(const LineScope&) = delete;
    LineScope& operator=(const LineScope&) = delete;
    ~LineScope() { out_.source_line = outer_; }

private:
    TokenWriter& out_;
    int outer_;
};

bool has_declarations(const Stmt& block)
{
    for (const StmtPtr& inner : block.statements)
        if (inner->kind == StmtKind::Declaration)
            return true;
    return false;
}

// A block of one statement that declares nothing says the same as that statement; a directive
// is no statement, and stays in its braces.
const Stmt& unwrap(const Stmt& stmt)
{
    const Stmt* inner = &stmt;
    while (inner->kind == StmtKind::Block && inner->statements.size() == 1 &&
           inner->statements[0]->kind != StmtKind::Declaration && inner->statements[0]->kind != StmtKind::Directive)
        inner = inner->statements[0].get();
    return *inner;
}

// A statement that an "else" written right after it would attach to.
bool ends_in_open_if(const Stmt& stmt)
{
    const Stmt& inner = unwrap(stmt);
    switch (inner.kind)
    {
    case StmtKind::If:
        return !inner.else_branch || ends_in_open_if(*inner.else_branch);
    case StmtKind::While:
    case StmtKind::For:
        return ends_in_open_if(*inner.body);
    default:
        return false;
    }
}

bool is_number(std::string_view literal)
{
    return !literal.empty() && (literal[0] == '.' || (literal[0] >= '0' && literal[0] <= '9'));
}

// How the names that the renamer gives short names are written.
enum class Names
{
    Short,        // as the renamer named them
    Placeholders, // as nothing
    OneLetter,    // each as one letter, whatever the renamer will choose
};

class Printer
{
public:
    Printer(Names names, std::vector<NamePlace>* places, std::vector<int>* source_lines = nullptr)
        : names_(names), places_(places), out_(source_lines)
    {}

    std::string run(const Program& program)
    {
        for (const External& external : program.externals)
        {
            LineScope at(out_, external.line);
            if (!external.directive.empty())
                out_.line(external.directive);
            else if (!external.words.empty())
                words(external.words);
            else if (external.structure)
                structure(*external.structure);
            else if (external.declaration)
                declaration(*external.declaration);
            else
                function(*external.function);
        }
        return out_.take();
    }

    std::string run(const Expr& e)
    {
        expr(e, level::assignment);
        return out_.take();
    }

private:
    void name(const Symbol* symbol, const std::string& text)
    {
        if (!symbol)
            out_.token(text);
        else if (names_ == Names::Placeholders)
            out_.token(symbol->kept ? symbol->name : "");
        else if (names_ == Names::OneLetter)
            out_.token(symbol->kept ? symbol->name : "x");
        else if (symbol->kept || symbol->short_name.empty())
            out_.token(symbol->name);
        else
        {
            std::size_t offset = out_.token(symbol->short_name);
            if (places_)
                places_->push_back({offset, symbol});
        }
    }

    void words(const std::vector<std::string>& words)
    {
        for (const std::string& word : words)
            out_.token(word);
        out_.token(";");
    }

    // A struct, or an interface block with its qualifiers and instance name.
    void structure(const Struct& structure)
    {
        LineScope at(out_, structure.symbol->line);
        for (const std::string& qualifier : structure.qualifiers)
            out_.token(qualifier);
        if (structure.qualifiers.empty())
            out_.token("struct");
        struct_body(structure);
        if (structure.instance)
        {
            name(structure.instance->symbol, structure.instance->symbol->name);
            array(structure.instance->array);
        }
        out_.token(";");
    }

    // The name and the members in braces.
    void struct_body(const Struct& structure)
    {
        name(structure.symbol, structure.symbol->name);
        out_.token("{");
        for (const StructMember& member : structure.members)
        {
            type(member.type);
            for (std::size_t i = 0; i < member.names.size(); ++i)
            {
                LineScope at_name(out_, member.names[i].symbol->line);
                if (i > 0)
                    out_.token(",");
                name(member.names[i].symbol, member.names[i].symbol->name);
                array(member.names[i].array);
            }
            out_.token(";");
        }
        out_.token("}");
    }

    void type(const Type& type)
    {
        LineScope at(out_, type.line);
        for (const std::string& qualifier : type.qualifiers)
            out_.token(qualifier);
        name(type.symbol, type.name);
        array(type.array);
    }

    void array(const std::optional<ArraySuffix>& suffix)
    {
        for (std::size_t i = 0; suffix && i < suffix->sizes.size(); ++i)
        {
            out_.token("[");
            if (suffix->sizes[i])
                expr(*suffix->sizes[i], level::conditional);
            out_.token("]");
        }
    }

    void declaration(const Declaration& declaration)
    {
        if (declaration.structure)
        {
            LineScope at(out_, declaration.type.line);
            for (const std::string& qualifier : declaration.type.qualifiers)
                out_.token(qualifier);
            out_.token("struct");
            struct_body(*declaration.structure);
        }
        else
            type(declaration.type);
        for (std::size_t i = 0; i < declaration.declarators.size(); ++i)
        {
            const Declarator& declarator = declaration.declarators[i];
            LineScope at(out_, declarator.line);
            if (i > 0)
                out_.token(",");
            name(declarator.symbol, declarator.symbol->name);
            array(declarator.array);
            if (declarator.initializer)
            {
                out_.token("=");
                expr(*declarator.initializer, level::assignment);
            }
        }
        out_.token(";");
    }

    void function(const Function& function)
    {
        LineScope at(out_, function.line);
        type(function.result);
        name(function.symbol, function.symbol->name);
        out_.token("(");
        for (std::size_t i = 0; i < function.parameters.size(); ++i)
        {
            const Parameter& parameter = function.parameters[i];
            LineScope at_parameter(out_, parameter.symbol ? parameter.symbol->line : parameter.type.line);
            if (i > 0)
                out_.token(",");
            type(parameter.type);
            if (parameter.symbol)
                name(parameter.symbol, parameter.symbol->name);
            array(parameter.array);
        }
        out_.token(")");
        if (!function.body)
        {
            out_.token(";");
            return;
        }
        out_.token("{");
        block_contents(*function.body);
        out_.token("}");
    }

    // Inner blocks that declare nothing open no scope worth keeping: their statements join in.
    void block_contents(const Stmt& block)
    {
        for (const StmtPtr& inner : block.statements)
        {
            if (inner->kind == StmtKind::Block && !has_declarations(*inner))
                block_contents(*inner);
            else
                statement(*inner);
        }
    }

    void statement(const Stmt& stmt)
    {
        LineScope at(out_, stmt.line);
        switch (stmt.kind)
        {
        case StmtKind::Block:
            out_.token("{");
            block_contents(stmt);
            out_.token("}");
            break;
        case StmtKind::Declaration:
            declaration(*stmt.declaration);
            break;
        case StmtKind::Expression:
            expr(*stmt.expr, level::comma);
            out_.token(";");
            break;
        case StmtKind::If:
            if_statement(stmt);
            break;
        case StmtKind::While:
            out_.token("while");
            condition(*stmt.condition);
            substatement(*stmt.body, false);
            break;
        case StmtKind::DoWhile:
            out_.token("do");
            substatement(*stmt.body, false);
            out_.token("while");
            condition(*stmt.condition);
            out_.token(";");
            break;
        case StmtKind::For:
            for_statement(stmt);
            break;
        case StmtKind::Return:
            out_.token("return");
            if (stmt.expr)
                expr(*stmt.expr, level::comma);
            out_.token(";");
            break;
        case StmtKind::Switch:
            switch_statement(stmt);
            break;
        case StmtKind::Case:
            out_.token(stmt.expr ? "case" : "default");
            if (stmt.expr)
                expr(*stmt.expr, level::conditional);
            out_.token(":");
            break;
        case StmtKind::Jump:
            out_.token(stmt.text);
            out_.token(";");
            break;
        case StmtKind::Empty:
            out_.token(";");
            break;
        case StmtKind::Words:
            words(stmt.words);
            break;
        case StmtKind::Directive:
            out_.line(stmt.text);
            break;
        }
    }

    void condition(const Expr& condition)
    {
        out_.token("(");
        expr(condition, level::comma);
        out_.token(")");
    }

    void if_statement(const Stmt& stmt)
    {
        out_.token("if");
        condition(*stmt.condition);
        substatement(*stmt.then_branch, stmt.else_branch != nullptr);
        if (stmt.else_branch)
        {
            out_.token("else");
            substatement(*stmt.else_branch, false);
        }
    }

    // An empty inner block stays, as the last label must be followed by a statement.
    void switch_statement(const Stmt& stmt)
    {
        out_.token("switch");
        condition(*stmt.condition);
        out_.token("{");
        for (const StmtPtr& inner : stmt.statements)
        {
            if (inner->kind == StmtKind::Block && !inner->statements.empty() && !has_declarations(*inner))
                block_contents(*inner);
            else
                statement(*inner);
        }
        out_.token("}");
    }

    void for_statement(const Stmt& stmt)
    {
        out_.token("for");
        out_.token("(");
        statement(*stmt.init);
        if (stmt.condition)
            expr(*stmt.condition, level::comma);
        out_.token(";");
        if (stmt.step)
            expr(*stmt.step, level::comma);
        out_.token(")");
        substatement(*stmt.body, false);
    }

    // The branch or body of a statement: braces only around several statements or a
    // declaration, or where an "else" follows that would otherwise bind to an inner "if".
    void substatement(const Stmt& stmt, bool else_follows)
    {
        const Stmt& inner = unwrap(stmt);
        LineScope at(out_, inner.line);
        if (inner.kind == StmtKind::Block && inner.statements.empty())
            out_.token(";");
        else if (inner.kind == StmtKind::Block || (else_follows && ends_in_open_if(inner)))
        {
            out_.token("{");
            inner.kind == StmtKind::Block ? block_contents(inner) : statement(inner);
            out_.token("}");
        }
        else
            statement(inner);
    }

    // Writes e, in parentheses when it binds more loosely than its place needs.
    void expr(const Expr& e, int min_level)
    {
        LineScope at(out_, e.line);
        if (e.level() < min_level)
        {
            out_.token("(");
            expr(e, level::comma);
            out_.token(")");
            return;
        }
        switch (e.kind)
        {
        case ExprKind::Name:
            name(e.symbol, e.text);
            break;
        case ExprKind::Literal:
            out_.token(is_number(e.text) ? shortest_number(e.text) : e.text);
            break;
        case ExprKind::Call:
            expr(*e.operands[0], level::postfix);
            array(e.array);
            list("(", e, 1, ")");
            break;
        case ExprKind::Index:
            expr(*e.operands[0], level::postfix);
            out_.token("[");
            expr(*e.operands[1], level::comma);
            out_.token("]");
            break;
        case ExprKind::Field:
            expr(*e.operands[0], level::postfix);
            out_.token(".");
            name(e.symbol, e.text);
            break;
        case ExprKind::Prefix:
            out_.token(e.text);
            expr(*e.operands[0], level::prefix);
            break;
        case ExprKind::Postfix:
            expr(*e.operands[0], level::postfix);
            out_.token(e.text);
            break;
        case ExprKind::Binary:
            binary(e);
            break;
        case ExprKind::Conditional:
            expr(*e.operands[0], binary_operator_level("||"));
            out_.token("?");
            expr(*e.operands[1], level::comma);
            out_.token(":");
            expr(*e.operands[2], level::conditional);
            break;
        case ExprKind::InitList:
            list("{", e, 0, "}");
            break;
        }
    }

    // Left-associative operators take an equal level on the left only: a-(b-c) and a/(b*c)
    // keep their parentheses, as float arithmetic may not be regrouped. Assignments nest
    // to the right.
    void binary(const Expr& e)
    {
        int level = e.level();
        int left_level = level == level::assignment ? level::prefix : level;
        int right_level = level == level::assignment ? level::assignment : level + 1;
        expr(*e.operands[0], left_level);
        out_.token(e.text);
        expr(*e.operands[1], right_level);
    }

    // Operands from first on, as assignment expressions between open and close.
    void list(std::string_view open, const Expr& e, std::size_t first, std::string_view close)
    {
        out_.token(open);
        for (std::size_t i = first; i < e.operands.size(); ++i)
        {
            if (i > first)
                out_.token(",");
            expr(*e.operands[i], level::assignment);
        }
        out_.token(close);
    }

    Names names_;
    std::vector<NamePlace>* places_;
    TokenWriter out_;
};

} // namespace

std::string print_compact(const Program& program, bool placeholders)
{
    return Printer(placeholders ? Names::Placeholders : Names::Short, nullptr).run(program);
}

std::string print_compact(const Program& program, std::vector<NamePlace>& places)
{
    places.clear();
    return Printer(Names::Short, &places).run(program);
}

std::string print_compact(const Program& program, std::vector<int>& source_lines)
{
    source_lines.clear();
    return Printer(Names::Short, nullptr, &source_lines).run(program);
}

std::size_t compact_length(const Program& program)
{
    return Printer(Names::OneLetter, nullptr).run(program).size();
}

std::string print_compact(const Expr& expr)
{
    return Printer(Names::Short, nullptr).run(expr);
}

} // namespace shader_packer::glsl
