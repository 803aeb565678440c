// A line of the language to its verb's command, by the table of verbs; the
// command written back; and the help, from the same table.
#include "verb.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <regex>

namespace tool {

namespace arg {
namespace {
Param make(Param::Kind kind, const char *what, const char *empty = nullptr)
{
    Param p;
    p.kind = kind;
    p.what = what;
    p.empty = empty;
    return p;
}
} // namespace

Param text(const char *what)
{
    return make(Param::Text, what);
}
Param nonempty(const char *what, const char *why)
{
    return make(Param::Text, what, why);
}
Param number(const char *what, long lo, long hi)
{
    Param p = make(Param::Number, what);
    p.lo = lo;
    p.hi = hi;
    return p;
}
Param keyword(const char *words)
{
    return make(Param::Keyword, words);
}
Param flag(const char *word)
{
    return make(Param::Flag, word);
}
Param filler(const char *word)
{
    return make(Param::Filler, word);
}
Param signal(const char *what)
{
    return make(Param::Signal, what);
}
Param signal_or(const char *what, int sig)
{
    Param p = make(Param::Signal, what);
    p.otherwise = sig;
    return p;
}
Param time()
{
    return make(Param::Time, "a time such as 500ms or 2s");
}
Param within()
{
    return make(Param::Within, "within");
}
Param message()
{
    return make(Param::Message, "\"TEXT\" or /PATTERN/");
}
Param setting()
{
    return make(Param::Setting, "NAME=VALUE");
}
Param status()
{
    return make(Param::Status, "an exit status or a signal");
}
Param prose(const char *what, const char *why)
{
    return make(Param::Prose, what, why);
}
Param or_absent(Param p)
{
    p.or_absent = true;
    return p;
}
} // namespace arg

namespace {

// One argument, read as its param says.
Value read(Args &a, const Param &p)
{
    Value v;
    switch (p.kind) {
    case Param::Text:
    case Param::Number:
        if (p.or_absent && a.optional("absent")) {
            v.given = false;
        } else if (p.kind == Param::Number) {
            v.number = a.number(p.what, p.lo, p.hi);
        } else {
            v.text = p.empty ? a.nonempty_text(p.what, p.empty) : a.text(p.what);
        }
        break;
    case Param::Keyword: v.text = a.keyword(p.what); break;
    case Param::Flag:
    case Param::Filler: v.given = a.optional(p.what); break;
    case Param::Signal: v.number = !p.otherwise || a.more() ? a.signal(p.what) : *p.otherwise; break;
    case Param::Time: v.number = a.time().count(); break;
    case Param::Within:
        v.number = a.within().count();
        v.given = v.number != kDefaultWithin.count();
        break;
    case Param::Message: {
        const Token &k = a.next(p.what);
        v.text = k.value;
        v.pattern = k.kind == Token::Pattern;
        if (v.pattern) {
            try {
                std::regex(v.text, std::regex::ECMAScript);
            } catch (const std::regex_error &err) {
                refuse(k.col, std::string("this pattern is no regular expression: ") + err.what());
            }
        }
        break;
    }
    case Param::Setting: {
        size_t col = a.col();
        v.text = a.text(p.what);
        size_t eq = v.text.find('=');
        if (eq == std::string::npos || eq == 0)
            refuse(col, "expect write wants NAME=VALUE, as in ctl.start=mulgate");
        break;
    }
    case Param::Status: {
        const Token &k = a.next(p.what);
        if (k.kind == Token::Word && !k.value.empty() && isdigit(static_cast<unsigned char>(k.value[0]))) {
            char *end = nullptr;
            v.number = strtol(k.value.c_str(), &end, 10);
            if (*end || v.number < 0 || v.number > 255)
                refuse(k.col, "an exit status is a number from 0 to 255");
        } else {
            auto sig = k.kind == Token::Word ? signal_number(k.value) : std::nullopt;
            if (!sig)
                refuse(k.col, "expect exit wants a status (0 to 255) or the signal that ended it (KILL, SEGV, ...)");
            v.number = *sig;
            v.text = signal_name(*sig);
        }
        break;
    }
    case Param::Prose: {
        const Token &t = a.next(p.what);
        if (p.empty && t.value.empty())
            refuse(t.col, p.empty);
        v.text = t.value;
        break;
    }
    }
    return v;
}

// One argument as the language writes it; "" when it is left out.
std::string written_back(const Param &p, const Value &v)
{
    if (!v.given)
        return p.or_absent ? "absent" : "";
    switch (p.kind) {
    case Param::Text:
    case Param::Setting: return written(v.text);
    case Param::Number: return std::to_string(v.number);
    case Param::Keyword:
    case Param::Prose: return v.text;
    case Param::Flag: return p.what;
    case Param::Filler: return "";
    case Param::Signal: return signal_name(static_cast<int>(v.number));
    case Param::Time: return time_text(sim::Millis(v.number));
    case Param::Within: return "within " + time_text(sim::Millis(v.number));
    case Param::Message: return v.pattern ? pattern_text(v.text) : quoted_text(v.text);
    case Param::Status: return v.text.empty() ? std::to_string(v.number) : v.text;
    }
    return "";
}

Values read_all(const Verb &verb, Args &a)
{
    Values values;
    for (const Param &p : verb.params)
        values.push_back(read(a, p));
    return values;
}

} // namespace

std::string Command::text() const
{
    std::string line(verb->name);
    for (size_t i = 0; i < args.size(); ++i) {
        std::string word = written_back(verb->params[i], args[i]);
        // Prose keeps what it is, even nothing.
        if (!word.empty() || verb->params[i].kind == Param::Prose)
            line += " " + word;
    }
    return line;
}

const std::vector<const Verb *> &all_verbs()
{
    static const std::vector<const Verb *> all = [] {
        std::vector<const Verb *> v;
        for (auto part : {device_verbs(), expectation_verbs(), view_verbs(), story_verbs()})
            for (const Verb &verb : part)
                v.push_back(&verb);
        return v;
    }();
    return all;
}

namespace {

// The verbs named `word`: one, or those of the group it begins (expect, boot).
std::vector<const Verb *> named(std::string_view word)
{
    std::vector<const Verb *> out;
    for (const Verb *v : all_verbs()) {
        std::string_view n = v->name;
        if (n == word || (n.size() > word.size() && n.substr(0, word.size()) == word && n[word.size()] == ' '))
            out.push_back(v);
    }
    return out;
}

// A group's own words, "log|write|service|exit|quiet".
std::string group_words(const std::vector<const Verb *> &members, size_t prefix)
{
    std::string words;
    for (const Verb *v : members)
        words += (words.empty() ? "" : "|") + std::string(v->name.substr(prefix));
    return words;
}

Command command(std::string_view line, size_t name_col, size_t rest)
{
    std::string_view word = line.substr(name_col - 1, rest - (name_col - 1));
    auto verbs = named(word);
    if (verbs.size() == 1 && verbs.front()->section == Section::Narration) {
        // Prose: the rest of the line as it stands.
        const Verb &v = *verbs.front();
        Args prose({{Token::Text, std::string(trim(line.substr(rest))), rest + 1}}, std::string(v.usage), rest + 1);
        return {&v, read_all(v, prose)};
    }
    auto tokens = tokenize(line, rest);
    if (verbs.empty())
        refuse(name_col, "unknown command '" + shown(word, 24) + "' ('help' lists the commands)");
    if (verbs.size() == 1 && verbs.front()->name == word) {
        const Verb &v = *verbs.front();
        Args a(std::move(tokens), std::string(v.usage), line.size() + 1);
        Command c{&v, read_all(v, a)};
        a.end();
        return c;
    }
    // A group: its next word names the verb, and errors show the group's usage.
    const std::string words = group_words(verbs, word.size() + 1);
    Args a(std::move(tokens), std::string(word) + " " + words + " ...", line.size() + 1);
    const std::string which = a.keyword(words);
    for (const Verb *v : verbs) {
        if (v->name.substr(word.size() + 1) == which) {
            Command c{v, read_all(*v, a)};
            a.end();
            return c;
        }
    }
    refuse(name_col, "unknown command"); // not reached: keyword() took one of them
}

} // namespace

Parsed parse_line(std::string_view line)
{
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    size_t i = 0;
    while (i < line.size() && blank(line[i]))
        ++i;
    if (i == line.size() || line[i] == '#')
        return std::monostate{};
    size_t j = i;
    while (j < line.size() && !blank(line[j]))
        ++j;
    try {
        return command(line, i + 1, j);
    } catch (ParseError &e) {
        return e;
    }
}

std::string language_help()
{
    struct Part {
        Section section;
        std::string heading;
    };
    const Part parts[] = {
        {Section::Device, "the device:"},
        {Section::Daemon, "the daemon:"},
        {Section::Expectation,
         "expectations (each waits at most " + time_text(kDefaultWithin) + ", or as long as 'within TIME' says):"},
        {Section::View, "what happened:"},
    };
    constexpr size_t kColumn = 26; // where the help of each command begins
    std::string out;
    for (auto &part : parts) {
        out += part.heading + "\n";
        for (const Verb *v : all_verbs()) {
            if (v->section != part.section || v->help.empty())
                continue;
            std::string line = "  " + std::string(v->usage);
            if (line.size() + 1 > kColumn)
                line += "\n" + std::string(kColumn, ' ');
            else
                line.resize(kColumn, ' ');
            std::string_view help = v->help;
            for (size_t nl; (nl = help.find('\n')) != std::string_view::npos; help.remove_prefix(nl + 1))
                line += std::string(help.substr(0, nl)) + "\n" + std::string(kColumn, ' ');
            out += line + std::string(help) + "\n";
        }
    }
    out += "Texts are words or double-quoted with \\n \\r \\t \\\\ \\\" \\0 \\xHH escapes; \"\" is empty.\n"
           "A word that begins with # starts a comment.\n";
    return out;
}

} // namespace tool
