// The commands of drovik-sim's language, one table entry a verb: its name,
// the arguments its line holds, how the help shows it, and the function that
// carries it out. The entries are in sim/verbs/, one file for each part of
// the language; a new verb is a new entry there (and its lines in
// docs/stories.md and tests/sim/lang_test.cpp).
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sim/device.h"
#include "words.h"

namespace tool {

class Engine;

// What carrying a command out came to.
enum class Outcome {
    Done,
    Failed, // the command could not be carried out
    Unmet,  // an expectation did not come true
    Quit,
};

// The part of the language a verb belongs to: where the help lists it, and
// how a story treats it.
enum class Section {
    Device,      // acts on the device
    Daemon,      // acts on the daemon
    Expectation, // waits for something to come true
    View,        // shows what happened
    Narration,   // prose: the rest of the line, as it stands
    Boot,        // sets the device up before it boots, at the top of a story
};

// One argument of a verb, as its table entry declares it: the parser reads it
// (and refuses it, with its column) before anything runs, and writes it back.
struct Param {
    enum Kind {
        Text,    // a word or a "text"
        Number,  // a whole number from lo to hi
        Keyword, // one of the words "a|b|c"
        Flag,    // an optional word, written back when given
        Filler,  // an optional word that reads well and means nothing
        Signal,  // a signal's name or number
        Time,    // 500ms, 2s, 1.5s
        Within,  // "within TIME", else kDefaultWithin
        Message, // a log line: a "text" or a /pattern/
        Setting, // NAME=VALUE
        Status,  // an exit status, or the signal that ended the process
        Prose,   // the rest of the line, as it stands
    } kind = Text;
    const char *what = "";        // its name in errors; a keyword's or flag's words
    const char *empty = nullptr;  // Text, Prose: refused with this when empty
    long lo = 0, hi = 0;          // Number
    bool or_absent = false;       // Text, Number: or the word "absent"
    std::optional<int> otherwise; // Signal: optional, and this when not given
};

// The arguments as the table entries write them: arg::number(...).
namespace arg {
Param text(const char *what);
Param nonempty(const char *what, const char *why); // refused with `why` when empty
Param number(const char *what, long lo, long hi);
Param keyword(const char *words); // "a|b|c"
Param flag(const char *word);
Param filler(const char *word);
Param signal(const char *what);
Param signal_or(const char *what, int sig); // optional: `sig` when not given
Param time();
Param within();
Param message();
Param setting();
Param status();
Param prose(const char *what, const char *why = nullptr); // refused with `why` when empty
Param or_absent(Param p);
} // namespace arg

// One argument as read from a line.
struct Value {
    std::string text;     // a text, a keyword, a pattern; an exit's signal name
    long number = 0;      // a number, a signal, a time in ms, an exit status
    bool given = true;    // false: "absent", a flag left out, the default time
    bool pattern = false; // Message: text is a regular expression
};
using Values = std::vector<Value>;

// What boot lines set up: the device's options, and whether the daemon starts.
struct BootSetup {
    sim::Options options;
    bool start_daemon = true;
};

// One entry of the language: its name, what its line holds, and the function
// that carries it out on a running device (run) or, for a boot line, sets
// the device up before it boots (set_up, giving a problem or ""). A function
// takes the line's values in the order of `params`.
struct Verb {
    std::string_view name; // a word, or a group's word and its own: "expect log"
    Section section;
    std::vector<Param> params;
    std::string_view usage; // how its line is written
    std::string_view help;  // its line in the shell's help; empty: not listed
    Outcome (*run)(Engine &, const Values &) = nullptr;
    std::string (*set_up)(BootSetup &, const Values &) = nullptr;
    bool in_stories = true;
};

// The language, part by part (sim/verbs/), and all of it in help's order.
std::span<const Verb> device_verbs();      // the device and the daemon
std::span<const Verb> expectation_verbs(); // expect ...
std::span<const Verb> view_verbs();        // what happened, help, quit
std::span<const Verb> story_verbs();       // narration and boot lines
const std::vector<const Verb *> &all_verbs();

// One parsed line: the verb and its values; text() writes it back so that
// it reads again as the same.
struct Command {
    const Verb *verb = nullptr;
    Values args;
    std::string text() const;
    Section section() const { return verb->section; }
};

// One line of the language. A blank or comment line gives std::monostate.
using Parsed = std::variant<std::monostate, Command, ParseError>;
Parsed parse_line(std::string_view line);

// What the shell's help shows: every listed command, by section.
std::string language_help();

} // namespace tool
