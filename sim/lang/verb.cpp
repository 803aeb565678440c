// A line of the language to its verb's command, by the table of verbs; and
// the help, from the same table.
#include "verb.h"

#include <cstdio>

namespace tool {

Verb simple(VerbInfo info, Outcome (*run)(Engine &))
{
    return verb<NoArguments>(
        info, [](Args &) { return NoArguments{}; }, [run](Engine &e, const NoArguments &) { return run(e); },
        [name = std::string(info.name)](const NoArguments &) { return name; });
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
        return {&v, v.parse(prose)};
    }
    auto tokens = tokenize(line, rest);
    if (verbs.empty())
        refuse(name_col, "unknown command '" + shown(word, 24) + "' ('help' lists the commands)");
    if (verbs.size() == 1 && verbs.front()->name == word) {
        const Verb &v = *verbs.front();
        Args a(std::move(tokens), std::string(v.usage), line.size() + 1);
        Command c{&v, v.parse(a)};
        a.end();
        return c;
    }
    // A group: its next word names the verb, and errors show the group's usage.
    const std::string words = group_words(verbs, word.size() + 1);
    Args a(std::move(tokens), std::string(word) + " " + words + " ...", line.size() + 1);
    const std::string which = a.keyword(words);
    for (const Verb *v : verbs) {
        if (v->name.substr(word.size() + 1) == which) {
            Command c{v, v->parse(a)};
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
