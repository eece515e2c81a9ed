// GLSL tokenizer of the shader packer: words, numbers, punctuators and directive lines, with
// comments and whitespace dropped and every character outside GLSL's set rejected. Macros and
// conditions are the preprocessor's (glsl_preprocessor.cpp).
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

constexpr std::array supported_directives = {"version", "extension", "pragma", "line", "define", "undef", "if",
                                             "ifdef",   "ifndef",    "elif",   "else", "endif",  "error"};

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

    std::vector<Token> run()
    {
        std::vector<Token> tokens;
        while (skip_space_and_comments())
            tokens.push_back(next_token());
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

    // A backslash that ends its line joins the next line to it, before comments are read.
    bool at_splice() const { return peek() == '\\' && (peek(1) == '\n' || (peek(1) == '\r' && peek(2) == '\n')); }

    void skip_splice()
    {
        bool was_line_start = line_start_;
        pos_ += peek(1) == '\r' ? 2 : 1;
        advance();
        line_start_ = was_line_start;
    }

    // Skips to the next token; false at the end of the text.
    bool skip_space_and_comments()
    {
        while (!at_end())
        {
            if (is_space(peek()))
                advance();
            else if (at_splice())
                skip_splice();
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
            at_splice() ? skip_splice() : void(++pos_);
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
            if (at_splice())
                skip_splice();
            else if (peek() == '/' && (peek(1) == '/' || peek(1) == '*'))
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
            sized_suffix(start, line);
        return {TokenKind::Number, std::string(source_.substr(start, pos_ - start)), line};
    }

    // The suffixes of the extensions' sized types: l and s after an integer (and its u) for
    // 64 and 16 bits, hf after a float for 16.
    void sized_suffix(std::size_t start, int line)
    {
        std::string_view number = source_.substr(start, pos_ - start);
        std::size_t end = pos_;
        while (end < source_.size() && is_word_char(source_[end]))
            ++end;
        std::string_view suffix = source_.substr(pos_, end - pos_);
        bool is_float = !number.starts_with("0x") && !number.starts_with("0X") &&
                        number.find_first_of(".eE") != std::string_view::npos;
        bool sized = is_float ? (suffix == "hf" || suffix == "HF") && !number.ends_with('f') && !number.ends_with('F')
                              : suffix == "l" || suffix == "L" || suffix == "s" || suffix == "S";
        if (!sized)
            throw support::LineError(line,
                                     "malformed number '" + std::string(source_.substr(start, pos_ + 1 - start)) + "'");
        pos_ = end;
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
            (byte >= 0x20 && byte < 0x7f && c != '\\' && c != '@' && c != '$' && c != '\'' && c != '`') || is_space(c);
        if (!allowed)
            throw support::LineError(line_, describe_character(c) + " is not allowed in GLSL");
    }

    template <class Predicate>
    void skip_while(Predicate predicate)
    {
        while (!at_end() && predicate(peek()))
            ++pos_;
    }

    std::string_view source_;
    std::size_t pos_ = 0;
    int line_ = 1;
    bool line_start_ = true;
};

} // namespace

std::string_view directive_name(std::string_view directive)
{
    return directive.substr(0, directive.find(' '));
}

std::string_view directive_rest(std::string_view directive)
{
    return directive.size() > directive_name(directive).size() ? directive.substr(directive_name(directive).size() + 1)
                                                               : std::string_view();
}

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

std::size_t identifier_length(std::string_view text)
{
    if (text.empty() || !is_word_start(text[0]))
        return 0;
    return std::find_if_not(text.begin(), text.end(), is_word_char) - text.begin();
}

bool is_identifier(std::string_view text)
{
    return !text.empty() && identifier_length(text) == text.size();
}

std::vector<Token> tokenize(std::string_view source, int first_line)
{
    return Lexer(source, first_line).run();
}

namespace {

bool lexes_differently_together(std::string_view a, std::string_view b)
{
    auto texts = [](std::string_view source) {
        std::vector<std::string> texts;
        for (const Token& token : tokenize(source))
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
