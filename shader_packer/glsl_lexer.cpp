// GLSL tokenizer of the shader packer: words, numbers, punctuators and directive lines, with
// comments and whitespace dropped and every character outside GLSL's set rejected.
#include "glsl_lexer.h"
#include "line_error.h"

#include <map>
#include <set>

#include <algorithm>
#include <array>
#include <cstdio>

namespace shader_packer::glsl {

namespace {

// Longest first, so the first match is the longest.
constexpr std::array punctuators = {
    "<<=", ">>=", "++", "--", "<<", ">>", "<=", ">=", "==", "!=", "&&", "||", "^^", "+=", "-=",
    "*=",  "/=",  "%=", "&=", "^=", "|=", "(",  ")",  "[",  "]",  "{",  "}",  ".",  ",",  "+",
    "-",   "!",   "~",  "*",  "/",  "%",  "<",  ">",  "&",  "^",  "|",  "?",  ":",  "=",  ";",
};

constexpr std::array supported_directives = {"version", "extension", "pragma", "line", "define", "undef",
                                             "if",      "ifdef",     "ifndef", "elif", "else",   "endif"};

std::string_view directive_name(std::string_view directive)
{
    return directive.substr(0, directive.find(' '));
}

// What follows the name, "" where nothing does.
std::string_view directive_rest(std::string_view directive)
{
    return directive.size() > directive_name(directive).size() ? directive.substr(directive_name(directive).size() + 1)
                                                               : std::string_view();
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
bool is_hex_digit(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_word_start(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_word_char(char c)
{
    return is_word_start(c) || is_digit(c);
}
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

std::string describe_character(char c)
{
    unsigned char byte = static_cast<unsigned char>(c);
    char text[48];
    if (byte >= 0x80)
        std::snprintf(text, sizeof text, "non-ASCII byte 0x%02X", byte);
    else if (byte < 0x20 || byte == 0x7f)
        std::snprintf(text, sizeof text, "control character 0x%02X", byte);
    else
        std::snprintf(text, sizeof text, "character '%c'", c);
    return text;
}

class Lexer
{
public:
    // A text that starts on a line other than the first: a part of a directive's line.
    explicit Lexer(std::string_view source, int line = 1) : source_(source), line_(line) {}

    // Object-like macros are expanded where they are used, as the preprocessor would, and their
    // definitions dropped: the program's names inside them are then renamed with the rest.
    std::vector<Token> run()
    {
        std::vector<Token> tokens;
        while (skip_space_and_comments())
        {
            Token token = next_token();
            if (token.kind != TokenKind::Directive)
            {
                expand(token, tokens, {});
                continue;
            }
            enter_or_leave_conditional(token);
            if (directive_name(token.text) == "#define")
                define(token);
            else if (directive_name(token.text) == "#undef")
                undefine(token);
            else
                tokens.push_back(std::move(token));
        }
        tokens.push_back({TokenKind::End, "", line_});
        return tokens;
    }

private:
    char peek(std::size_t ahead = 0) const { return pos_ + ahead < source_.size() ? source_[pos_ + ahead] : '\0'; }

    bool at_end() const { return pos_ >= source_.size(); }

    void advance()
    {
        if (source_[pos_] == '\n')
        {
            ++line_;
            line_start_ = true;
        }
        else if (!is_space(source_[pos_]))
            line_start_ = false;
        ++pos_;
    }

    // Skips to the next token; false at the end of the text.
    bool skip_space_and_comments()
    {
        while (!at_end())
        {
            if (is_space(peek()))
                advance();
            else if (peek() == '/' && peek(1) == '/')
                skip_line_comment();
            else if (peek() == '/' && peek(1) == '*')
                skip_block_comment();
            else
                return true;
        }
        return false;
    }

    void skip_line_comment()
    {
        while (!at_end() && peek() != '\n')
            ++pos_;
    }

    void skip_block_comment()
    {
        int opening_line = line_;
        bool was_line_start = line_start_;
        pos_ += 2;
        while (!(peek() == '*' && peek(1) == '/'))
        {
            if (at_end())
                throw support::LineError(opening_line, "unterminated comment");
            advance();
        }
        pos_ += 2;
        line_start_ = was_line_start || line_ > opening_line; // a comment is whitespace
    }

    Token next_token()
    {
        char c = peek();
        if (c == '#')
            return directive();
        line_start_ = false;
        if (is_digit(c) || (c == '.' && is_digit(peek(1))))
            return number();
        if (is_word_start(c))
            return word();
        return punctuator();
    }

    // The rest of the line with comments dropped and runs of space made one.
    Token directive()
    {
        int line = line_;
        if (!line_start_)
            throw support::LineError(line, "'#' must start a line");
        std::string text;
        while (!at_end() && peek() != '\n')
        {
            if (peek() == '/' && (peek(1) == '/' || peek(1) == '*'))
            {
                peek(1) == '/' ? skip_line_comment() : skip_block_comment();
                text += ' ';
            }
            else
            {
                check_allowed(peek());
                text += is_space(peek()) ? ' ' : peek();
                ++pos_;
            }
        }
        return {TokenKind::Directive, normalize_directive(text, line), line};
    }

    static std::string normalize_directive(const std::string& text, int line)
    {
        std::string normal;
        for (char c : text)
            if (c != ' ' || (!normal.empty() && normal.back() != ' ' && normal.back() != '#'))
                normal += c;
        while (normal.ends_with(' '))
            normal.pop_back();
        std::string_view name = std::string_view(normal).substr(1, normal.find(' ') - 1);
        for (std::string_view supported : supported_directives)
            if (name == supported)
                return normal;
        throw support::LineError(line, "preprocessor directive '#" + std::string(name) + "' is not supported");
    }

    Token number()
    {
        int line = line_;
        std::size_t start = pos_;
        if (peek() == '0' && (peek(1) == 'x' || peek(1) == 'X'))
        {
            pos_ += 2;
            skip_while(is_hex_digit);
            if (peek() == 'u' || peek() == 'U')
                ++pos_;
        }
        else
            decimal_number(line);
        if (is_word_char(peek()))
        {
            std::size_t end = pos_;
            while (end < source_.size() && is_word_char(source_[end]))
                ++end;
            std::string_view suffix = source_.substr(pos_, end - pos_);
            static const std::set<std::string_view> extension_suffixes = {
                "l", "L", "ul", "UL", "s", "S", "us", "US", "hf", "HF", "uL", "Ul", "uS", "Us"};
            if (extension_suffixes.contains(suffix))
                throw support::LineError(line, "literal suffixes of sized types ('" + std::string(suffix) +
                                                   "') are not supported");
            throw support::LineError(line,
                                     "malformed number '" + std::string(source_.substr(start, pos_ + 1 - start)) + "'");
        }
        return {TokenKind::Number, std::string(source_.substr(start, pos_ - start)), line};
    }

    void decimal_number(int line)
    {
        skip_while(is_digit);
        bool is_float = false;
        if (peek() == '.')
        {
            is_float = true;
            ++pos_;
            skip_while(is_digit);
        }
        if (peek() == 'e' || peek() == 'E')
        {
            is_float = true;
            ++pos_;
            if (peek() == '+' || peek() == '-')
                ++pos_;
            if (!is_digit(peek()))
                throw support::LineError(line, "exponent without digits in a number");
            std::size_t digits_start = pos_;
            skip_while(is_digit);
            if (pos_ - digits_start > 4)
                throw support::LineError(line, "exponent out of range in a number");
        }
        if (is_float && (peek() == 'f' || peek() == 'F'))
            ++pos_;
        else if (is_float && ((peek() == 'l' && peek(1) == 'f') || (peek() == 'L' && peek(1) == 'F')))
            pos_ += 2;
        else if (!is_float && (peek() == 'u' || peek() == 'U'))
            ++pos_;
    }

    Token word()
    {
        std::size_t start = pos_;
        skip_while(is_word_char);
        return {TokenKind::Word, std::string(source_.substr(start, pos_ - start)), line_};
    }

    Token punctuator()
    {
        for (std::string_view candidate : punctuators)
            if (source_.substr(pos_).starts_with(candidate))
            {
                pos_ += candidate.size();
                return {TokenKind::Punctuator, std::string(candidate), line_};
            }
        throw support::LineError(line_, describe_character(peek()) + " is not allowed in GLSL");
    }

    void check_allowed(char c) const
    {
        unsigned char byte = static_cast<unsigned char>(c);
        bool allowed =
            (byte >= 0x20 && byte < 0x7f && c != '\\' && c != '@' && c != '$' && c != '\'' && c != '`') ||
            is_space(c);
        if (!allowed)
            throw support::LineError(line_, describe_character(c) + " is not allowed in GLSL");
    }

    template <class Predicate>
    void skip_while(Predicate predicate)
    {
        while (!at_end() && predicate(peek()))
            ++pos_;
    }

    // A host may define what a condition tests, so its branches are all kept; the macros of the
    // text itself are expanded away, so none may be tested or defined in a branch.
    void enter_or_leave_conditional(const Token& directive)
    {
        bool defines = directive_name(directive.text) == "#define" || directive_name(directive.text) == "#undef";
        if (defines && conditional_depth_ > 0)
            throw support::LineError(directive.line,
                                     "macros defined or undefined inside conditional blocks are not supported");
        int step = conditional_step(directive.text);
        if (step > 0 || continues_conditional(directive.text))
            for (const Token& word : Lexer(directive_rest(directive.text), directive.line).run())
                if (macros_.contains(word.text))
                    throw support::LineError(directive.line, "conditions on the shader's own macros ('" + word.text +
                                                                 "') are not supported");
        conditional_depth_ += step;
    }

    void define(const Token& directive)
    {
        std::string_view rest = directive_rest(directive.text);
        std::size_t name_end = 0;
        while (name_end < rest.size() && is_word_char(rest[name_end]))
            ++name_end;
        std::string name(rest.substr(0, name_end));
        if (name.empty() || !is_word_start(name[0]))
            throw support::LineError(directive.line, "'#define' needs a macro name");
        if (name_end < rest.size() && rest[name_end] == '(')
            throw support::LineError(directive.line, "function-like macros ('" + name + "') are not supported");
        if (name.starts_with("GL_") || name.find("__") != std::string::npos)
            throw support::LineError(directive.line, "macro name '" + name + "' is reserved");
        std::string_view body = rest.substr(name_end);
        if (body.find('#') != std::string_view::npos)
            throw support::LineError(directive.line, "'#' and '##' in macros are not supported");
        std::vector<Token> tokens = Lexer(body, directive.line).run();
        tokens.pop_back();
        auto [defined, added] = macros_.emplace(name, tokens);
        if (!added && !same_texts(defined->second, tokens))
            throw support::LineError(directive.line, "macro '" + name + "' is defined again, otherwise");
    }

    void undefine(const Token& directive)
    {
        std::string_view name = directive_rest(directive.text);
        if (name.empty() || !is_word_start(name[0]))
            throw support::LineError(directive.line, "'#undef' needs a macro name");
        macros_.erase(std::string(name));
    }

    static bool same_texts(const std::vector<Token>& a, const std::vector<Token>& b)
    {
        return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                          [](const Token& x, const Token& y) { return x.text == y.text; });
    }

    // A macro's name within its own expansion stands for itself.
    void expand(const Token& token, std::vector<Token>& out, std::set<std::string> expanding) const
    {
        auto macro = token.kind == TokenKind::Word ? macros_.find(token.text) : macros_.end();
        if (macro == macros_.end() || expanding.contains(token.text))
        {
            out.push_back(token);
            return;
        }
        expanding.insert(token.text);
        for (Token inner : macro->second)
        {
            inner.line = token.line;
            expand(inner, out, expanding);
        }
    }

    std::map<std::string, std::vector<Token>> macros_;
    int conditional_depth_ = 0;
    std::string_view source_;
    std::size_t pos_ = 0;
    int line_ = 1;
    bool line_start_ = true;
};

} // namespace

int conditional_step(std::string_view directive)
{
    std::string_view name = directive_name(directive);
    if (name == "#if" || name == "#ifdef" || name == "#ifndef")
        return 1;
    return name == "#endif" ? -1 : 0;
}

bool continues_conditional(std::string_view directive)
{
    return directive_name(directive) == "#elif" || directive_name(directive) == "#else";
}

std::vector<Token> lex(std::string_view source)
{
    return Lexer(source).run();
}

namespace {

bool lexes_differently_together(std::string_view a, std::string_view b)
{
    auto texts = [](std::string_view source) {
        std::vector<std::string> texts;
        for (const Token& token : lex(source))
            texts.push_back(token.text);
        return texts;
    };
    try
    {
        std::vector<std::string> apart = texts(a);
        apart.pop_back();
        for (std::string& text : texts(b))
            apart.push_back(std::move(text));
        return texts(std::string(a) + std::string(b)) != apart;
    }
    catch (const support::LineError&)
    {
        return true;
    }
}

} // namespace

// Lexing is the slow part of printing, and a text holds few distinct neighbouring pairs.
bool tokens_merge(std::string_view a, std::string_view b)
{
    thread_local std::map<std::pair<std::string, std::string>, bool, std::less<>> answers;
    std::pair<std::string, std::string> key(a, b);
    auto found = answers.find(key);
    if (found != answers.end())
        return found->second;
    bool merge = lexes_differently_together(a, b);
    answers.emplace(std::move(key), merge);
    return merge;
}

} // namespace shader_packer::glsl
