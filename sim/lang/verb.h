// The commands of drovik-sim's language, one table entry a verb: how it is
// written (name, usage, help), how its line is read into a payload of its
// own type, what it does, and how it reads back as a line. The entries are in
// verbs_*.cpp, one file for each part of the language; a new verb is a new
// entry there (and its lines in docs/stories.md).
#pragma once

#include <any>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
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

// What boot lines set up: the device's options, and whether the daemon starts.
struct BootSetup {
    sim::Options options;
    bool start_daemon = true;
};

struct VerbInfo {
    std::string_view name; // a word, or a group's word and its own: "expect log"
    Section section;
    std::string_view usage; // how its line is written
    std::string_view help;  // its line in the shell's help; empty: not listed
    bool in_stories = true;
};

struct Verb : VerbInfo {
    std::function<std::any(Args &)> parse;                            // the arguments, into the payload
    std::function<Outcome(Engine &, const std::any &)> run;           // on a running device
    std::function<std::string(BootSetup &, const std::any &)> set_up; // boot verbs: a problem, or ""
    std::function<std::string(const std::any &)> text;                // the command as a line
};

// One entry. P is the verb's payload; parse reads it from the line's
// arguments, text writes it back (so that it parses again to the same), and
// run carries it out on a running device or, for a boot verb, sets the
// device up (and then gives a problem, or "").
template <class P, class Run, class Write>
Verb verb(VerbInfo info, P (*parse)(Args &), Run run, Write text)
{
    Verb v{info, {}, {}, {}, {}};
    v.parse = [parse](Args &a) { return std::any(parse(a)); };
    v.text = [text](const std::any &p) { return text(std::any_cast<const P &>(p)); };
    if constexpr (std::is_invocable_r_v<Outcome, Run, Engine &, const P &>) {
        v.run = [run](Engine &e, const std::any &p) { return run(e, std::any_cast<const P &>(p)); };
    } else {
        static_assert(std::is_invocable_r_v<std::string, Run, BootSetup &, const P &>);
        v.set_up = [run](BootSetup &b, const std::any &p) { return run(b, std::any_cast<const P &>(p)); };
    }
    return v;
}

// A verb without arguments.
struct NoArguments {};
Verb simple(VerbInfo info, Outcome (*run)(Engine &));

// The language, part by part (verbs_*.cpp), and all of it in help's order.
std::span<const Verb> device_verbs();      // the device and the daemon
std::span<const Verb> expectation_verbs(); // expect ...
std::span<const Verb> view_verbs();        // what happened, help, quit
std::span<const Verb> story_verbs();       // narration and boot lines
const std::vector<const Verb *> &all_verbs();

// One parsed line.
struct Command {
    const Verb *verb = nullptr;
    std::any payload;
    std::string text() const { return verb->text(payload); }
    Section section() const { return verb->section; }
};

// One line of the language. A blank or comment line gives std::monostate.
using Parsed = std::variant<std::monostate, Command, ParseError>;
Parsed parse_line(std::string_view line);

// What the shell's help shows: every listed command, by section.
std::string language_help();

} // namespace tool
