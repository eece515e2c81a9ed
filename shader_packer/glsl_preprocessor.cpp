// GLSL preprocessing of the shader packer: the shader's own macros expanded by rescanning with
// hide sets, as the C standard describes it, conditions on them evaluated, and the conditional
// blocks and macros that a host decides passed on as directives.
#include "glsl_preprocessor.h"

#include "line_error.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>

namespace shader_packer::glsl {

namespace {

using support::LineError;

// A token on its way through expansion, with the names of the macros it came out of: such a
// name stands for itself there, so that no expansion runs forever.
struct Scanned
{
    Token token;
    std::set<std::string> hidden;
};

struct Macro
{
    bool function_like = false;
    std::vector<std::string> parameters;
    std::vector<Token> body;
};

bool same_definition(const Macro& a, const Macro& b)
{
    return a.function_like == b.function_like && a.parameters == b.parameters &&
           std::equal(a.body.begin(), a.body.end(), b.body.begin(), b.body.end(),
                      [](const Token& x, const Token& y) { return x.text == y.text; });
}

// Tokens written with a space only where two would read back as others.
std::string joined(const std::vector<Token>& tokens)
{
    std::string text;
    for (std::size_t i = 0; i < tokens.size(); ++i)
    {
        if (i > 0 && tokens_merge(tokens[i - 1].text, tokens[i].text))
            text += ' ';
        text += tokens[i].text;
    }
    return text;
}

// Where expansion reads its tokens: first what earlier expansions left to be scanned again,
// then, for the shader's text, the text's own tokens, directives among them.
class Input
{
public:
    Input() = default;
    explicit Input(const std::vector<Token>& text) : text_(&text) {}

    const Token* peek() const
    {
        if (!pending_.empty())
            return &pending_.front().token;
        return text_ && position_ + 1 < text_->size() ? &(*text_)[position_] : nullptr;
    }

    std::optional<Scanned> take()
    {
        if (!pending_.empty())
        {
            Scanned next = std::move(pending_.front());
            pending_.pop_front();
            return next;
        }
        if (!peek())
            return std::nullopt;
        return Scanned{(*text_)[position_++], {}};
    }

    void push_front(std::vector<Scanned> tokens)
    {
        pending_.insert(pending_.begin(), std::make_move_iterator(tokens.begin()),
                        std::make_move_iterator(tokens.end()));
    }

private:
    std::deque<Scanned> pending_;
    const std::vector<Token>* text_ = nullptr; // its last token is the End
    std::size_t position_ = 0;
};

// The value of a condition in which no name is left: integers under the operators of the C
// preprocessor but its ?:, which GLSL's leaves out, in the 32-bit arithmetic of GLSL's. An operand
// that && or || skips is read but not evaluated, as a division by zero there is no fault.
class ConditionValue
{
public:
    ConditionValue(const std::vector<Token>& tokens, int line) : tokens_(tokens), line_(line) {}

    bool holds()
    {
        std::int32_t value = binary(1, true);
        if (position_ < tokens_.size())
            fail("'" + tokens_[position_].text + "' where the condition should end");
        return value != 0;
    }

private:
    [[noreturn]] void fail(const std::string& reason) const
    {
        throw LineError(line_, "the condition cannot be evaluated: " + reason);
    }

    bool accept(std::string_view text)
    {
        if (position_ >= tokens_.size() || tokens_[position_].text != text)
            return false;
        ++position_;
        return true;
    }

    static int level_of(std::string_view op)
    {
        static const std::map<std::string_view, int> levels = {
            {"||", 1}, {"&&", 2}, {"|", 3},  {"^", 4},  {"&", 5}, {"==", 6}, {"!=", 6}, {"<", 7},  {">", 7},
            {"<=", 7}, {">=", 7}, {"<<", 8}, {">>", 8}, {"+", 9}, {"-", 9},  {"*", 10}, {"/", 10}, {"%", 10}};
        auto found = levels.find(op);
        return found == levels.end() ? 0 : found->second;
    }

    std::int32_t binary(int min_level, bool evaluated)
    {
        std::int32_t left = unary(evaluated);
        for (;;)
        {
            std::string_view op = position_ < tokens_.size() ? std::string_view(tokens_[position_].text) : "";
            int level = level_of(op);
            if (level == 0 || level < min_level)
                return left;
            ++position_;
            bool skipped = (op == "&&" && left == 0) || (op == "||" && left != 0);
            std::int32_t right = binary(level + 1, evaluated && !skipped);
            left = evaluated ? apply(op, left, right) : 0;
        }
    }

    std::int32_t apply(std::string_view op, std::int32_t a, std::int32_t b) const
    {
        auto wrapped = [](std::int64_t value) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(value)); };
        if ((op == "/" || op == "%") && b == 0)
            fail("a division by zero");
        if ((op == "<<" || op == ">>") && (b < 0 || b > 31))
            fail("a shift by " + std::to_string(b));
        if (op == "||")
            return a != 0 || b != 0;
        if (op == "&&")
            return a != 0 && b != 0;
        if (op == "|")
            return a | b;
        if (op == "^")
            return a ^ b;
        if (op == "&")
            return a & b;
        if (op == "==")
            return a == b;
        if (op == "!=")
            return a != b;
        if (op == "<")
            return a < b;
        if (op == ">")
            return a > b;
        if (op == "<=")
            return a <= b;
        if (op == ">=")
            return a >= b;
        if (op == "<<")
            return wrapped(std::int64_t(static_cast<std::uint32_t>(a) << b));
        if (op == ">>")
            return a >> b;
        if (op == "+")
            return wrapped(std::int64_t(a) + b);
        if (op == "-")
            return wrapped(std::int64_t(a) - b);
        if (op == "*")
            return wrapped(std::int64_t(a) * b);
        if (op == "/")
            return wrapped(std::int64_t(a) / b);
        return wrapped(std::int64_t(a) % b);
    }

    std::int32_t unary(bool evaluated)
    {
        if (position_ >= tokens_.size())
            fail("it ends too early");
        const Token& token = tokens_[position_++];
        if (token.text == "+" || token.text == "-" || token.text == "~" || token.text == "!")
        {
            std::int32_t operand = unary(evaluated);
            if (token.text == "-")
                return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(operand));
            return token.text == "+" ? operand : token.text == "~" ? ~operand : operand == 0;
        }
        if (token.text == "(")
        {
            std::int32_t inner = binary(1, evaluated);
            if (!accept(")"))
                fail("'(' without its ')'");
            return inner;
        }
        if (token.kind != TokenKind::Number)
            fail("'" + token.text + "' where a number should be");
        return integer(token.text);
    }

    std::int32_t integer(std::string text) const
    {
        if (text.ends_with('u') || text.ends_with('U'))
            text.pop_back();
        bool hex = text.starts_with("0x") || text.starts_with("0X");
        if (!hex && text.find_first_of(".eEfF") != std::string::npos)
            fail("the float " + text);
        try
        {
            return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::stoull(text, nullptr, 0)));
        }
        catch (const std::exception&)
        {
            fail("the number " + text);
        }
    }

    const std::vector<Token>& tokens_;
    int line_;
    std::size_t position_ = 0;
};

enum class Truth
{
    Holds,
    Fails,
    Host, // depends on what a host defines
};

struct Decision
{
    Truth truth;
    std::string condition; // as written out, where the host decides
};

// A conditional block being read.
struct Group
{
    int line;     // of its "#if"
    bool written; // a host decides which branch holds: its directives are passed on
    bool active;  // the tokens of the branch being read are taken
    bool settled; // a branch that certainly holds has been read, or the block lies in a dropped one
    bool else_seen = false;
};

class Preprocessor
{
public:
    explicit Preprocessor(std::vector<Token> text) : text_(std::move(text)) {}

    std::vector<Token> run()
    {
        Input input(text_);
        while (std::optional<Scanned> next = input.take())
        {
            if (next->token.kind == TokenKind::Directive)
                directive(next->token);
            else if (!skipping() && !expand(*next, input))
                emit(std::move(next->token));
        }
        if (!groups_.empty())
            throw LineError(groups_.back().line, "a conditional block without its '#endif'");
        out_.push_back(text_.back());
        return std::move(out_);
    }

private:
    bool skipping() const { return !groups_.empty() && !groups_.back().active; }

    bool host_decides() const
    {
        return std::any_of(groups_.begin(), groups_.end(), [](const Group& group) { return group.written; });
    }

    // The driver would number the lines of the packed text otherwise.
    void emit(Token token)
    {
        if (token.kind == TokenKind::Word && token.text == "__LINE__")
            throw LineError(token.line, "'__LINE__' is not supported, as the packed text has other lines");
        out_.push_back(std::move(token));
    }

    void write(const Token& directive, std::string text)
    {
        out_.push_back({TokenKind::Directive, std::move(text), directive.line});
    }

    void directive(const Token& directive)
    {
        std::string_view name = directive_name(directive.text);
        if (conditional_step(directive.text) != 0 || continues_conditional(directive.text))
            conditional(directive);
        else if (skipping())
            return;
        else if (name == "#define")
            define(directive);
        else if (name == "#undef")
            undefine(directive);
        else if (name == "#error" && !host_decides())
            throw LineError(directive.line, "the shader stops itself: " + directive.text);
        else
            out_.push_back(directive);
    }

    // Expands name where it is a macro's, putting its expansion back into input to be scanned
    // again with what follows; false where it is not.
    bool expand(const Scanned& name, Input& input)
    {
        const Token& word = name.token;
        auto found = word.kind == TokenKind::Word ? macros_.find(word.text) : macros_.end();
        if (found == macros_.end() || name.hidden.contains(word.text))
            return false;
        const Macro& macro = found->second;
        std::set<std::string> hidden = name.hidden;
        std::vector<std::vector<Scanned>> arguments;
        if (macro.function_like)
        {
            const Token* next = input.peek();
            if (next && next->kind == TokenKind::Directive)
                throw LineError(next->line, "a directive between a function-like macro's name and its arguments ('" +
                                                word.text + "') is not supported");
            if (!next || next->kind != TokenKind::Punctuator || next->text != "(")
                return false;
            input.take();
            Scanned closing = read_arguments(word, input, arguments);
            std::erase_if(hidden, [&](const std::string& macro_name) { return !closing.hidden.contains(macro_name); });
            if (macro.parameters.empty() && arguments.size() == 1 && arguments[0].empty())
                arguments.clear();
            if (arguments.size() != macro.parameters.size())
                throw LineError(word.line, "macro '" + word.text + "' takes " +
                                               std::to_string(macro.parameters.size()) +
                                               (macro.parameters.size() == 1 ? " argument" : " arguments") + ", not " +
                                               std::to_string(arguments.size()));
        }
        hidden.insert(word.text);
        std::vector<Scanned> expansion = substituted(word, macro, arguments);
        for (Scanned& token : expansion)
        {
            token.hidden.insert(hidden.begin(), hidden.end());
            token.token.line = word.line;
        }
        input.push_front(std::move(expansion));
        return true;
    }

    // The body with the arguments in place of the parameters. Each argument is expanded on its
    // own first, but where "##" pastes it to its neighbour: there the last token of what stands
    // before it and the first of what stands after become one.
    std::vector<Scanned> substituted(const Token& name, const Macro& macro,
                                     const std::vector<std::vector<Scanned>>& arguments)
    {
        std::vector<std::vector<Scanned>> expanded_arguments;
        for (const std::vector<Scanned>& argument : arguments)
            expanded_arguments.push_back(expanded(argument));
        const std::vector<Token>& body = macro.body;
        auto is_paste = [&](std::size_t k) { return k < body.size() && body[k].text == "##"; };
        std::vector<Scanned> expansion;
        bool left_empty = true;
        for (std::size_t k = 0; k < body.size(); ++k)
        {
            if (is_paste(k))
                continue;
            bool pasted_after = is_paste(k - 1), pasted = pasted_after || is_paste(k + 1);
            auto parameter = std::find(macro.parameters.begin(), macro.parameters.end(), body[k].text);
            std::vector<Scanned> operand = {{body[k], {}}};
            if (body[k].kind == TokenKind::Word && parameter != macro.parameters.end())
                operand = (pasted ? arguments : expanded_arguments)[parameter - macro.parameters.begin()];
            auto rest = operand.begin();
            if (pasted_after && !left_empty && !operand.empty())
                expansion.back() = pasted_tokens(name, expansion.back(), *rest++);
            left_empty = (pasted_after && !left_empty) ? false : operand.empty();
            expansion.insert(expansion.end(), rest, operand.end());
        }
        return expansion;
    }

    static Scanned pasted_tokens(const Token& name, const Scanned& left, const Scanned& right)
    {
        std::string text = left.token.text + right.token.text;
        std::vector<Token> tokens;
        try
        {
            tokens = tokenize(text, name.line);
        }
        catch (const LineError&)
        {}
        if (tokens.size() != 2)
            throw LineError(name.line, "'##' in macro '" + name.text + "' makes '" + text + "', which is no token");
        return {tokens[0], {}};
    }

    // The arguments of a call of a function-like macro, split at the commas outside inner
    // parentheses; returns the closing parenthesis.
    static Scanned read_arguments(const Token& name, Input& input, std::vector<std::vector<Scanned>>& arguments)
    {
        arguments.emplace_back();
        int depth = 0;
        for (;;)
        {
            std::optional<Scanned> next = input.take();
            if (!next)
                throw LineError(name.line, "the arguments of macro '" + name.text + "' are not closed");
            const Token& token = next->token;
            if (token.kind == TokenKind::Directive)
                throw LineError(token.line, "directives inside a macro's arguments are not supported");
            if (token.kind == TokenKind::Punctuator && depth == 0 && (token.text == ")" || token.text == ","))
            {
                if (token.text == ")")
                    return std::move(*next);
                arguments.emplace_back();
                continue;
            }
            if (token.kind == TokenKind::Punctuator)
                depth += token.text == "(" ? 1 : token.text == ")" ? -1 : 0;
            arguments.back().push_back(std::move(*next));
        }
    }

    // tokens with every macro in them expanded, nothing after them read.
    std::vector<Scanned> expanded(std::vector<Scanned> tokens)
    {
        Input input;
        input.push_front(std::move(tokens));
        std::vector<Scanned> result;
        while (std::optional<Scanned> next = input.take())
            if (!expand(*next, input))
                result.push_back(std::move(*next));
        return result;
    }

    void conditional(const Token& directive)
    {
        std::string name(directive_name(directive.text));
        if (conditional_step(directive.text) > 0)
        {
            if (skipping())
            {
                groups_.push_back({directive.line, false, false, true});
                return;
            }
            Decision decision = decide(directive);
            bool holds = decision.truth == Truth::Holds;
            if (decision.truth == Truth::Host)
                write(directive, name + " " + decision.condition);
            groups_.push_back({directive.line, decision.truth == Truth::Host, decision.truth != Truth::Fails, holds});
            return;
        }
        if (groups_.empty())
            throw LineError(directive.line, "'" + name + "' without an '#if'");
        Group& group = groups_.back();
        if (name == "#endif")
        {
            if (group.written)
                write(directive, name);
            groups_.pop_back();
            return;
        }
        if (group.else_seen)
            throw LineError(directive.line, "'" + name + "' after '#else'");
        group.else_seen = name == "#else";
        if (group.settled)
        {
            group.active = false;
            return;
        }
        Decision decision = name == "#else" ? Decision{Truth::Holds, ""} : decide(directive);
        if (decision.truth == Truth::Fails)
            group.active = false;
        else if (decision.truth == Truth::Holds)
        {
            if (group.written)
                write(directive, "#else");
            group.active = group.settled = true;
        }
        else
        {
            // The first branch that the host decides opens the block that is written out.
            write(directive, (group.written ? "#elif " : "#if ") + decision.condition);
            group.written = group.active = true;
        }
    }

    // Whether the condition of an "#if", "#ifdef", "#ifndef" or "#elif" holds, as far as the
    // shader's own macros decide it.
    Decision decide(const Token& directive)
    {
        std::string_view name = directive_name(directive.text);
        std::string_view rest = directive_rest(directive.text);
        if (name == "#ifdef" || name == "#ifndef")
        {
            std::string tested(rest);
            if (!is_identifier(tested))
                throw LineError(directive.line, "'" + std::string(name) + "' needs one macro name");
            if (!macros_.contains(tested) && !undefined_.contains(tested))
                return {Truth::Host, tested};
            return {macros_.contains(tested) == (name == "#ifdef") ? Truth::Holds : Truth::Fails, ""};
        }
        std::vector<Token> tokens = tokenize(rest, directive.line);
        tokens.pop_back();
        if (tokens.empty())
            throw LineError(directive.line, "'" + std::string(name) + "' needs a condition");
        std::vector<Scanned> condition;
        for (std::size_t i = 0; i < tokens.size(); ++i)
        {
            if (tokens[i].kind != TokenKind::Word || tokens[i].text != "defined")
            {
                condition.push_back({tokens[i], {}});
                continue;
            }
            bool parenthesized = i + 1 < tokens.size() && tokens[i + 1].text == "(";
            std::size_t tested = i + 1 + parenthesized, end = tested + parenthesized;
            if (tested >= tokens.size() || tokens[tested].kind != TokenKind::Word ||
                (parenthesized && (end >= tokens.size() || tokens[end].text != ")")))
                throw LineError(directive.line, "'defined' needs a macro name");
            const std::string& macro = tokens[tested].text;
            if (macros_.contains(macro) || undefined_.contains(macro))
                condition.push_back({{TokenKind::Number, macros_.contains(macro) ? "1" : "0", directive.line}, {}});
            else
                for (std::size_t k = i; k <= end; ++k)
                    condition.push_back({tokens[k], {}});
            i = end;
        }
        std::vector<Token> written;
        for (Scanned& token : expanded(std::move(condition)))
            written.push_back(std::move(token.token));
        if (std::any_of(written.begin(), written.end(),
                        [](const Token& token) { return token.kind == TokenKind::Word; }))
            return {Truth::Host, joined(written)};
        return {ConditionValue(written, directive.line).holds() ? Truth::Holds : Truth::Fails, ""};
    }

    void define(const Token& directive)
    {
        std::string_view rest = directive_rest(directive.text);
        std::size_t name_end = identifier_length(rest);
        std::string name(rest.substr(0, name_end));
        if (name.empty())
            throw LineError(directive.line, "'#define' needs a macro name");
        if (name.starts_with("GL_") || name.find("__") != std::string::npos || name == "defined")
            throw LineError(directive.line, "macro name '" + name + "' is reserved");
        Macro macro;
        std::string_view body = rest.substr(name_end);
        if (body.starts_with('('))
        {
            std::size_t close = body.find(')');
            if (close == std::string_view::npos)
                throw LineError(directive.line, "the parameters of macro '" + name + "' are not closed");
            macro.function_like = true;
            macro.parameters = parameters(body.substr(1, close - 1), name, directive.line);
            body = body.substr(close + 1);
        }
        macro.body = body_tokens(body, name, directive.line);
        if (host_decides())
            return define_for_host(directive, name, macro);
        if (host_macros_.contains(name))
            refuse_defined_both_ways(directive, name);
        auto [defined, added] = macros_.emplace(name, macro);
        if (!added && !same_definition(defined->second, macro))
            throw LineError(directive.line, "macro '" + name + "' is defined again, otherwise");
        undefined_.erase(name);
    }

    // The packer expands the shader's own macros and leaves the host's as directives: one macro
    // cannot be both.
    [[noreturn]] static void refuse_defined_both_ways(const Token& directive, const std::string& name)
    {
        throw LineError(directive.line,
                        "macros defined both inside and outside conditional blocks ('" + name + "') are not supported");
    }

    // A macro's body as tokens, "##" among them; GLSL has no strings for '#' to make.
    static std::vector<Token> body_tokens(std::string_view body, const std::string& macro, int line)
    {
        std::vector<Token> tokens;
        for (std::size_t start = 0;;)
        {
            std::size_t paste = body.find("##", start);
            std::string_view piece = body.substr(start, paste == std::string_view::npos ? paste : paste - start);
            if (piece.find('#') != std::string_view::npos)
                throw LineError(line, "'#' in macros is not supported");
            std::vector<Token> piece_tokens = tokenize(piece, line);
            tokens.insert(tokens.end(), piece_tokens.begin(), piece_tokens.end() - 1);
            if (paste == std::string_view::npos)
                break;
            tokens.push_back({TokenKind::Punctuator, "##", line});
            start = paste + 2;
        }
        if (!tokens.empty() && (tokens.front().text == "##" || tokens.back().text == "##"))
            throw LineError(line, "'##' at an end of macro '" + macro + "'");
        return tokens;
    }

    static std::vector<std::string> parameters(std::string_view list, const std::string& macro, int line)
    {
        std::vector<std::string> names;
        std::vector<Token> tokens = tokenize(list, line);
        tokens.pop_back();
        for (std::size_t i = 0; i < tokens.size(); i += 2)
        {
            bool separated = i + 1 == tokens.size() || tokens[i + 1].text == ",";
            if (tokens[i].kind != TokenKind::Word || !separated || (i + 1 < tokens.size() && i + 2 == tokens.size()))
                throw LineError(line, "the parameters of macro '" + macro + "' are not a list of names");
            if (std::find(names.begin(), names.end(), tokens[i].text) != names.end())
                throw LineError(line, "macro '" + macro + "' names parameter '" + tokens[i].text + "' twice");
            names.push_back(tokens[i].text);
        }
        return names;
    }

    // A macro that the host decides is written out as a directive, its body in its tokens; the
    // shader's own macros are expanded away, so it may not name them.
    void define_for_host(const Token& directive, const std::string& name, const Macro& macro)
    {
        if (macros_.contains(name))
            refuse_defined_both_ways(directive, name);
        for (const Token& token : macro.body)
            if (macros_.contains(token.text))
                throw LineError(directive.line,
                                "macros inside conditional blocks that name the shader's own macros ('" + token.text +
                                    "') are not supported");
        std::string text = "#define " + name;
        if (macro.function_like)
        {
            text += '(';
            for (std::size_t i = 0; i < macro.parameters.size(); ++i)
                text += (i > 0 ? "," : "") + macro.parameters[i];
            text += ')';
        }
        if (!macro.body.empty())
            text += " " + joined(macro.body);
        host_macros_.insert(name);
        undefined_.erase(name);
        write(directive, text);
    }

    void undefine(const Token& directive)
    {
        std::string name(directive_rest(directive.text));
        if (!is_identifier(name))
            throw LineError(directive.line, "'#undef' needs a macro name");
        if (host_decides())
        {
            if (macros_.contains(name))
                refuse_defined_both_ways(directive, name);
            host_macros_.insert(name);
            write(directive, directive.text);
            return;
        }
        undefined_.insert(name);
        // A macro that is not the shader's own may be the host's.
        if (!macros_.erase(name))
            write(directive, directive.text);
    }

    std::vector<Token> text_;
    std::vector<Token> out_;
    std::vector<Group> groups_;
    std::map<std::string, Macro> macros_; // the shader's own, expanded where used
    std::set<std::string> host_macros_;   // defined or undefined where a host decides
    std::set<std::string> undefined_;     // certainly not defined at this point of the text
};

} // namespace

std::vector<Token> lex(std::string_view source)
{
    return Preprocessor(tokenize(source)).run();
}

} // namespace shader_packer::glsl
