// The words of drovik-sim's command language (docs/stories.md): a line's
// tokens, the reader of a command's arguments, and how values are written.
// What the commands are is in verb.h.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/device.h"

namespace tool {

// Why a line is refused, and where: thrown by the readers below, returned by
// parse_line().
struct ParseError {
    size_t column = 1; // 1-based, in bytes
    std::string message;
};
[[noreturn]] void refuse(size_t column, std::string message);

// Words are separated by spaces and tabs.
inline bool blank(char c)
{
    return c == ' ' || c == '\t';
}
std::string_view trim(std::string_view s);

struct Token {
    enum Kind { Word, Text, Pattern } kind;
    std::string value; // a text with its escapes resolved; a pattern as written, but for \/
    size_t col;
};
// Splits the line from `pos` on into words, "texts" and /patterns/; a word
// that begins with # ends the line. Throws ParseError.
std::vector<Token> tokenize(std::string_view line, size_t pos);

// How long an expectation waits when its line names no time: enough for the
// daemon's 2-second pauses and for a daemon run under qemu-aarch64 emulation.
constexpr sim::Millis kDefaultWithin{10000};

// The arguments of one command, taken left to right; each reader throws
// ParseError with the column at fault and the command's usage.
class Args {
public:
    Args(std::vector<Token> tokens, std::string usage, size_t end_col);

    bool more() const { return i_ < t_.size(); }
    size_t col() const { return more() ? t_[i_].col : end_; }
    const Token &next(const char *what);
    // A word or a "text".
    std::string text(const char *what);
    // The same, refused with `why` when it is empty.
    std::string nonempty_text(const char *what, const char *why);
    // A bare keyword, one of `words` ("a|b|c").
    std::string keyword(std::string_view words);
    // Takes the word when it comes next.
    bool optional(const char *word);
    long number(const char *what, long lo, long hi);
    sim::Millis time();
    int signal(const char *what);
    // "within TIME" when it comes next, else kDefaultWithin.
    sim::Millis within();
    // Nothing may follow.
    void end();

private:
    std::vector<Token> t_;
    size_t i_ = 0;
    std::string usage_;
    size_t end_;
};

// How a service's or a process's way with SIGTERM is written.
constexpr const char *kSigtermWords = "ignores-sigterm|obeys-sigterm";

// Signal numbers by name ("TERM", "SIGTERM", "15"); nullopt when unknown.
std::optional<int> signal_number(std::string_view name);
std::string signal_name(int sig); // "SIGTERM", or the number

// Bytes shown on one line, escaped, cut after `max` bytes with the full size.
std::string shown(std::string_view bytes, size_t max = 48);
// A line as written, with only its control bytes escaped.
std::string visible(std::string_view line);
// A time as the language writes it ("500ms", "2s", "1.5s").
std::string time_text(sim::Millis t);
// A value as the language writes it: a bare word when it reads back as one,
// else a "text" with escapes.
std::string written(std::string_view value);
// A "text" with escapes, whatever the value.
std::string quoted_text(std::string_view value);
// A /pattern/ as written: its backslashes are the regular expression's own.
std::string pattern_text(std::string_view regex);

} // namespace tool
