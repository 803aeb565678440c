// The words of drovik-sim's command language: a line's tokens and the
// readers of a command's arguments; pure functions of the line.
#include "words.h"

#include <signal.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tool {
namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::string_view trim(std::string_view s)
{
    while (!s.empty() && blank(s.front()))
        s.remove_prefix(1);
    while (!s.empty() && blank(s.back()))
        s.remove_suffix(1);
    return s;
}

void refuse(size_t column, std::string message)
{
    throw ParseError{column, std::move(message)};
}

std::vector<Token> tokenize(std::string_view s, size_t pos)
{
    std::vector<Token> out;
    for (;;) {
        while (pos < s.size() && blank(s[pos]))
            ++pos;
        if (pos >= s.size() || s[pos] == '#')
            return out;
        size_t col = pos + 1;
        if (s[pos] == '"') {
            std::string v;
            for (++pos;; ++pos) {
                if (pos >= s.size())
                    refuse(col, "this text has no closing \"");
                char c = s[pos];
                if (c == '"')
                    break;
                if (c != '\\') {
                    v += c;
                    continue;
                }
                size_t at = pos + 1;
                if (++pos >= s.size())
                    refuse(col, "this text has no closing \"");
                switch (s[pos]) {
                case 'n': v += '\n'; break;
                case 'r': v += '\r'; break;
                case 't': v += '\t'; break;
                case '0': v += '\0'; break;
                case '\\': v += '\\'; break;
                case '"': v += '"'; break;
                case 'x': {
                    int h = pos + 2 < s.size() ? hex_digit(s[pos + 1]) : -1;
                    int l = pos + 2 < s.size() ? hex_digit(s[pos + 2]) : -1;
                    if (h < 0 || l < 0)
                        refuse(at, "\\x wants two hex digits, as in \\x1b");
                    v += static_cast<char>(h * 16 + l);
                    pos += 2;
                    break;
                }
                default:
                    refuse(at,
                           "unknown escape \\" + shown(s.substr(pos, 1)) + " (known: \\n \\r \\t \\0 \\\\ \\\" \\xHH)");
                }
            }
            ++pos;
            if (pos < s.size() && !blank(s[pos]))
                refuse(pos + 1, "put a space after the closing \"");
            out.push_back({Token::Text, std::move(v), col});
        } else if (s[pos] == '/') {
            // Kept as written: the regular expression reads its own escapes;
            // only \/ stands for a slash.
            std::string v;
            for (++pos;; ++pos) {
                if (pos >= s.size())
                    refuse(col, "this pattern has no closing /");
                if (s[pos] == '/')
                    break;
                if (s[pos] == '\\' && pos + 1 < s.size()) {
                    if (s[pos + 1] == '/') {
                        v += '/';
                        ++pos;
                        continue;
                    }
                    v += s[pos++];
                }
                v += s[pos];
            }
            ++pos;
            if (pos < s.size() && !blank(s[pos]))
                refuse(pos + 1, "put a space after the closing /");
            out.push_back({Token::Pattern, std::move(v), col});
        } else {
            size_t b = pos;
            while (pos < s.size() && !blank(s[pos]))
                ++pos;
            out.push_back({Token::Word, std::string(s.substr(b, pos - b)), col});
        }
    }
}

Args::Args(std::vector<Token> tokens, std::string usage, size_t end_col)
    : t_(std::move(tokens)), usage_(std::move(usage)), end_(end_col)
{
}

const Token &Args::next(const char *what)
{
    if (!more())
        refuse(end_, std::string("missing ") + what + " (usage: " + usage_ + ")");
    return t_[i_++];
}

std::string Args::text(const char *what)
{
    const Token &k = next(what);
    if (k.kind == Token::Pattern)
        refuse(k.col, std::string("a /pattern/ cannot stand for ") + what + " (usage: " + usage_ + ")");
    return k.value;
}

std::string Args::nonempty_text(const char *what, const char *why)
{
    size_t at = col();
    std::string t = text(what);
    if (t.empty())
        refuse(at, why);
    return t;
}

std::string Args::keyword(std::string_view words)
{
    size_t col = this->col();
    const std::string list(words);
    const Token &k = next(list.c_str());
    if (k.kind != Token::Word || ("|" + list + "|").find("|" + k.value + "|") == std::string::npos)
        refuse(col, "expected " + list + ", not '" + shown(k.value, 24) + "'");
    return k.value;
}

bool Args::optional(const char *word)
{
    if (more() && t_[i_].kind == Token::Word && t_[i_].value == word) {
        ++i_;
        return true;
    }
    return false;
}

long Args::number(const char *what, long lo, long hi)
{
    const Token &k = next(what);
    char *end = nullptr;
    errno = 0;
    long n = k.kind == Token::Word && !k.value.empty() && isdigit(static_cast<unsigned char>(k.value[0]))
                 ? strtol(k.value.c_str(), &end, 10)
                 : -1;
    if (n < lo || n > hi || !end || *end || errno)
        refuse(k.col, std::string(what) + " is a number from " + std::to_string(lo) + " to " + std::to_string(hi) +
                          ", not '" + shown(k.value, 24) + "'");
    return n;
}

sim::Millis Args::time()
{
    const Token &k = next("a time such as 500ms or 2s");
    const std::string &v = k.value;
    size_t digits = 0;
    while (digits < v.size() && (isdigit(static_cast<unsigned char>(v[digits])) || v[digits] == '.'))
        ++digits;
    std::string unit = v.substr(digits);
    double n = digits ? strtod(v.substr(0, digits).c_str(), nullptr) : -1;
    double ms = unit == "ms" ? n : unit == "s" ? n * 1000 : -1;
    if (k.kind != Token::Word || digits == 0 || v.find('.') != v.rfind('.') || ms < 0 || ms > 3600000)
        refuse(k.col,
               "a time is a number and ms or s, as in 500ms or 2s (at most an hour), not '" + shown(v, 24) + "'");
    return sim::Millis(static_cast<long>(ms + 0.5));
}

int Args::signal(const char *what)
{
    const Token &k = next(what);
    auto s = k.kind == Token::Word ? signal_number(k.value) : std::nullopt;
    if (!s)
        refuse(k.col, "'" + shown(k.value, 24) + "' is no signal: give a name such as TERM, USR2, KILL, or a number");
    return *s;
}

sim::Millis Args::within()
{
    if (optional("within"))
        return time();
    return kDefaultWithin;
}

void Args::end()
{
    if (more())
        refuse(t_[i_].col, "unexpected '" + shown(t_[i_].value, 24) + "' (usage: " + usage_ + ")");
}

std::optional<int> signal_number(std::string_view name)
{
    if (!name.empty() && isdigit(static_cast<unsigned char>(name[0]))) {
        std::string n(name);
        char *end = nullptr;
        long v = strtol(n.c_str(), &end, 10);
        if (*end || v < 1 || v > SIGRTMAX)
            return std::nullopt;
        return static_cast<int>(v);
    }
    std::string up;
    for (char c : name)
        up += static_cast<char>(toupper(static_cast<unsigned char>(c)));
    if (up.rfind("SIG", 0) == 0)
        up.erase(0, 3);
    static const std::pair<const char *, int> kNames[] = {
        {"HUP", SIGHUP},   {"INT", SIGINT},   {"QUIT", SIGQUIT}, {"ILL", SIGILL},   {"TRAP", SIGTRAP},
        {"ABRT", SIGABRT}, {"BUS", SIGBUS},   {"FPE", SIGFPE},   {"KILL", SIGKILL}, {"USR1", SIGUSR1},
        {"SEGV", SIGSEGV}, {"USR2", SIGUSR2}, {"PIPE", SIGPIPE}, {"ALRM", SIGALRM}, {"TERM", SIGTERM},
        {"CHLD", SIGCHLD}, {"CONT", SIGCONT}, {"STOP", SIGSTOP}, {"TSTP", SIGTSTP},
    };
    for (auto &[n, v] : kNames)
        if (up == n)
            return v;
    return std::nullopt;
}

std::string signal_name(int sig)
{
    const char *abbrev = sigabbrev_np(sig);
    return abbrev ? std::string("SIG") + abbrev : std::to_string(sig);
}

std::string shown(std::string_view bytes, size_t max)
{
    if (bytes.size() <= max)
        return sim::printable(bytes);
    return sim::printable(bytes.substr(0, max)) + "... (" + std::to_string(bytes.size()) + " bytes)";
}

std::string visible(std::string_view line)
{
    std::string o;
    for (char c : line)
        o += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? sim::printable(std::string_view(&c, 1))
                                                               : std::string(1, c);
    return o;
}

std::string time_text(sim::Millis t)
{
    auto ms = t.count();
    if (ms % 1000 == 0)
        return std::to_string(ms / 1000) + "s";
    if (ms > 1000 && ms % 100 == 0)
        return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + "s";
    return std::to_string(ms) + "ms";
}

std::string quoted_text(std::string_view value)
{
    return "\"" + sim::printable(value, true) + "\"";
}

std::string written(std::string_view value)
{
    // A word has no blank, and nothing that would begin a text, a pattern or a comment.
    bool word = !value.empty() && value.front() != '"' && value.front() != '/' && value.front() != '#';
    for (unsigned char c : value)
        word = word && c > 0x20 && c < 0x7f && c != '\\';
    return word ? std::string(value) : quoted_text(value);
}

std::string pattern_text(std::string_view regex)
{
    std::string o = "/";
    for (char c : regex) {
        if (c == '/')
            o += "\\/";
        else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            o += sim::printable(std::string_view(&c, 1));
        else
            o += c;
    }
    return o + "/";
}

} // namespace tool
