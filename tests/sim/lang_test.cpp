// The story language's parser, line by line and story by story: every verb
// read from good lines into its values and written back, each entry with
// the function its section needs, and every refusal with its line, column
// and words.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "lang/story.h"
#include "lang/verb.h"

namespace tool {
namespace {

struct Good {
    std::string line;
    std::string verb; // the verb's name
    std::string text; // the command written back
};

// At least one line for every verb of the language.
const std::vector<Good> kGood = {
    {"plug", "plug", "plug"},
    {"  unplug\t# the cable goes", "unplug", "unplug"},
    {"usb SUSPENDED", "usb", "usb SUSPENDED"},
    {"usb \"two words\"", "usb", "usb \"two words\""},
    {"ports 0", "ports", "ports 0"},
    {"ports 255\r", "ports", "ports 255"},
    {R"(uevent "change@/x\0USB_STATE=CONFIGURED\0")", "uevent", R"(uevent "change@/x\x00USB_STATE=CONFIGURED\x00")"},
    {"setprop persist.sys.v3.sprue.state 1", "setprop", "setprop persist.sys.v3.sprue.state 1"},
    {"setprop sys.x \"\"", "setprop", "setprop sys.x \"\""},
    {R"(setprop sys.y "a\tb\\c\"d\x41\r\n")", "setprop", R"(setprop sys.y "a\x09b\\c\"dA\r\n")"},
    {"getprop ro.x", "getprop", "getprop ro.x"},
    {"service mulgate ignores-sigterm", "service", "service mulgate ignores-sigterm"},
    {"service sprue obeys-sigterm", "service", "service sprue obeys-sigterm"},
    {"spawn sprue", "spawn", "spawn sprue"},
    {"spawn sprue ignores-sigterm", "spawn", "spawn sprue ignores-sigterm"},
    {"kill mulgate", "kill", "kill mulgate SIGTERM"},
    {"kill mulgate 9", "kill", "kill mulgate SIGKILL"},
    {"signal usr2", "signal", "signal SIGUSR2"},
    {"signal SIGINT", "signal", "signal SIGINT"},
    {"signal 12", "signal", "signal SIGUSR2"},
    {"restart", "restart", "restart"},
    {"stop drovik", "stop", "stop drovik"},
    {"start mulgate", "start", "start mulgate"},
    {"wait 1.5s", "wait", "wait 1.5s"},
    {"wait 0.25s", "wait", "wait 250ms"},
    {"wait 500ms", "wait", "wait 500ms"},
    {"expect log \"call() return: 0\"", "expect log", "expect log \"call() return: 0\""},
    {R"(expect log "(tag)a line.\n" within 2s)", "expect log", R"(expect log "(tag)a line.\n" within 2s)"},
    {R"(expect log /pid: \d+/)", "expect log", R"(expect log /pid: \d+/)"},
    {R"(expect log /a\/b/ within 10s)", "expect log", R"(expect log /a\/b/)"},
    {"expect write ctl.stop=mulgate", "expect write", "expect write ctl.stop=mulgate"},
    {"expect write \"sys.x=a b\" within 500ms", "expect write", "expect write \"sys.x=a b\" within 500ms"},
    {"expect service sprue unset", "expect service", "expect service sprue unset"},
    {"expect service mulgate running within 3s", "expect service", "expect service mulgate running within 3s"},
    {"expect exit 0", "expect exit", "expect exit 0"},
    {"expect exit KILL", "expect exit", "expect exit SIGKILL"},
    {"expect exit 255 within 1s", "expect exit", "expect exit 255 within 1s"},
    {"expect quiet 300ms", "expect quiet", "expect quiet 300ms"},
    {"expect quiet for 1s", "expect quiet", "expect quiet 1s"},
    {"log", "log", "log"},
    {"log all", "log", "log all"},
    {"writes", "writes", "writes"},
    {"events", "events", "events"},
    {"services", "services", "services"},
    {"ps", "ps", "ps"},
    {"status", "status", "status"},
    {"help", "help", "help"},
    {"quit", "quit", "quit"},
    {"exit", "exit", "exit"},
    {"step Pull the cable # not a comment", "step", "step Pull the cable # not a comment"},
    {"say   \"two\"  spaces  ", "say", "say \"two\"  spaces"},
    {"boot usb CONFIGURED", "boot usb", "boot usb CONFIGURED"},
    {"boot usb absent", "boot usb", "boot usb absent"},
    {"boot ports 3", "boot ports", "boot ports 3"},
    {"boot ports absent", "boot ports", "boot ports absent"},
    {"boot setprop persist.x \"\"", "boot setprop", "boot setprop persist.x \"\""},
    {"boot service mulgate ignores-sigterm", "boot service", "boot service mulgate ignores-sigterm"},
    {"boot daemon off", "boot daemon", "boot daemon off"},
};

TEST(Language, GoodLinesReadIntoTheirVerbAndBackAgain)
{
    std::set<std::string> seen;
    for (const auto &g : kGood) {
        SCOPED_TRACE(visible(g.line));
        Parsed p = parse_line(g.line);
        auto *c = std::get_if<Command>(&p);
        if (auto *e = std::get_if<ParseError>(&p))
            ADD_FAILURE() << "refused at column " << e->column << ": " << e->message;
        if (!c)
            continue;
        EXPECT_EQ(c->verb->name, g.verb);
        EXPECT_EQ(c->text(), g.text);
        // What it writes back reads again as the same command.
        Parsed again = parse_line(c->text());
        ASSERT_TRUE(std::holds_alternative<Command>(again));
        EXPECT_EQ(std::get<Command>(again).verb, c->verb);
        EXPECT_EQ(std::get<Command>(again).text(), g.text);
        seen.insert(std::string(c->verb->name));
    }
    for (const Verb *v : all_verbs())
        EXPECT_TRUE(seen.count(std::string(v->name))) << "no good line for the verb '" << v->name << "'";

    for (std::string_view blank : {"", "   ", "\t", "# a comment", "  # another", "\r"})
        EXPECT_TRUE(std::holds_alternative<std::monostate>(parse_line(blank))) << visible(blank);
}

TEST(Language, EachVerbHasTheFunctionItsSectionRuns)
{
    // A boot line only sets a device up before it boots; every other verb runs on one.
    for (const Verb *v : all_verbs()) {
        SCOPED_TRACE(std::string(v->name));
        const bool boot = v->section == Section::Boot;
        EXPECT_EQ(v->set_up != nullptr, boot);
        EXPECT_EQ(v->run != nullptr, !boot);
    }
}

struct Refused {
    std::string line;
    size_t column;
    std::string message; // whole, or its beginning when it ends in "..."
};

const std::vector<Refused> kRefused = {
    {"hello", 1, "unknown command 'hello' ('help' lists the commands)"},
    {"   bogus x", 4, "unknown command 'bogus' ('help' lists the commands)"},
    {std::string(30, 'x'), 1, "unknown command 'xxxxxxxxxxxxxxxxxxxxxxxx... (30 bytes)' ('help' lists the commands)"},
    {"hello\x1b[A", 1, "unknown command 'hello\\x1b[A' ('help' lists the commands)"},
    {"usb \"abc", 5, "this text has no closing \""},
    {"usb \"ab\\", 5, "this text has no closing \""},
    {R"(usb "\x1")", 6, R"(\x wants two hex digits, as in \x1b)"},
    {R"(usb "\q")", 6, R"(unknown escape \q (known: \n \r \t \0 \\ \" \xHH))"},
    {"usb \"a\"b", 8, "put a space after the closing \""},
    {"expect log /abc", 12, "this pattern has no closing /"},
    {"expect log /a/b", 15, "put a space after the closing /"},
    {"expect log /(/", 12, "this pattern is no regular expression: ..."},
    {"usb", 4, "missing WORD (usage: usb WORD)"},
    {"usb /x/", 5, "a /pattern/ cannot stand for WORD (usage: usb WORD)"},
    {"usb \"\"", 5, "the state word is empty"},
    {"uevent \"\"", 8, "the kernel sends no empty uevent"},
    {"ports 256", 7, "the port count is a number from 0 to 255, not '256'"},
    {"ports -1", 7, "the port count is a number from 0 to 255, not '-1'"},
    {"setprop a", 10, "missing VALUE (usage: setprop NAME VALUE; quote a value with spaces, \"\" is empty)"},
    {"service mulgate maybe", 17, "expected ignores-sigterm|obeys-sigterm, not 'maybe'"},
    {"signal FOO", 8, "'FOO' is no signal: give a name such as TERM, USR2, KILL, or a number"},
    {"kill mulgate \"TERM\"", 14, "'TERM' is no signal: give a name such as TERM, USR2, KILL, or a number"},
    {"wait 10", 6, "a time is a number and ms or s, as in 500ms or 2s (at most an hour), not '10'"},
    {"wait 1.2.3s", 6, "a time is a number and ms or s, as in 500ms or 2s (at most an hour), not '1.2.3s'"},
    {"wait 2h", 6, "a time is a number and ms or s, as in 500ms or 2s (at most an hour), not '2h'"},
    {"wait 3601s", 6, "a time is a number and ms or s, as in 500ms or 2s (at most an hour), not '3601s'"},
    {"quit now", 6, "unexpected 'now' (usage: quit)"},
    {"expect", 7, "missing log|write|service|exit|quiet (usage: expect log|write|service|exit|quiet ...)"},
    {"expect nothing", 8, "expected log|write|service|exit|quiet, not 'nothing'"},
    {"expect log \"x\" within", 22,
     "missing a time such as 500ms or 2s (usage: expect log|write|service|exit|quiet ...)"},
    {"expect log \"x\" after 2s", 16, "unexpected 'after' (usage: expect log|write|service|exit|quiet ...)"},
    {"expect write foo", 14, "expect write wants NAME=VALUE, as in ctl.start=mulgate"},
    {"expect write =x", 14, "expect write wants NAME=VALUE, as in ctl.start=mulgate"},
    {"expect service mulgate gone", 24, "expected running|stopping|stopped|restarting|unset, not 'gone'"},
    {"expect exit 256", 13, "an exit status is a number from 0 to 255"},
    {"expect exit FOO", 13, "expect exit wants a status (0 to 255) or the signal that ended it (KILL, SEGV, ...)"},
    {"step", 5, "a step needs a title"},
    {"step   \r", 5, "a step needs a title"},
    {"boot nothing", 6, "expected usb|ports|setprop|service|daemon, not 'nothing'"},
    {"boot daemon maybe", 13, "expected on|off, not 'maybe'"},
    {"boot ports 300", 12, "the port count is a number from 0 to 255, not '300'"},
};

void expect_message(const std::string &got, const std::string &want)
{
    const std::string_view dots = "...";
    if (want.size() > dots.size() && want.substr(want.size() - dots.size()) == dots)
        EXPECT_EQ(got.substr(0, want.size() - dots.size()), want.substr(0, want.size() - dots.size())) << got;
    else
        EXPECT_EQ(got, want);
}

TEST(Language, EachRefusalSaysWhereAndWhy)
{
    for (const auto &r : kRefused) {
        SCOPED_TRACE(visible(r.line));
        Parsed p = parse_line(r.line);
        auto *e = std::get_if<ParseError>(&p);
        if (!e) {
            ADD_FAILURE() << "taken as "
                          << (std::holds_alternative<Command>(p) ? std::get<Command>(p).text() : "a blank line");
            continue;
        }
        EXPECT_EQ(e->column, r.column) << e->message;
        expect_message(e->message, r.message);
    }
}

TEST(Language, AStoryIsReadWholeWithItsLineNumbers)
{
    auto parsed =
        parse_story("# a story\r\nboot usb absent\r\nboot daemon off\n\n  step One  \nplug\r\nexpect quiet 1s");
    ASSERT_TRUE(std::holds_alternative<Story>(parsed)) << std::get<StoryError>(parsed).message;
    const Story &s = std::get<Story>(parsed);
    std::vector<std::pair<int, std::string>> boot, body;
    for (auto &l : s.boot)
        boot.emplace_back(l.number, l.cmd.text());
    for (auto &l : s.body)
        body.emplace_back(l.number, l.cmd.text());
    EXPECT_EQ(boot, (std::vector<std::pair<int, std::string>>{{2, "boot usb absent"}, {3, "boot daemon off"}}));
    EXPECT_EQ(body, (std::vector<std::pair<int, std::string>>{{5, "step One"}, {6, "plug"}, {7, "expect quiet 1s"}}));
    EXPECT_EQ(s.body[0].text, "  step One  ");

    struct Case {
        std::string story;
        int line;
        size_t column;
        std::string message;
    };
    const std::vector<Case> refused = {
        {"step A\nexpect log \"x\"\n\nexpect log \"y\" within 10\n", 4, 23,
         "a time is a number and ms or s, as in 500ms or 2s (at most an hour), not '10'"},
        {"plug\nhelp\n", 2, 1, "'help' is for the shell"},
        {"boot usb absent\nplug\n  boot ports 0\n", 3, 3,
         "boot lines set the device up before it boots: they come before every other line"},
        {"# comment\r\n\r\nusb \"open\r\n", 3, 5, "this text has no closing \""},
    };
    for (const auto &c : refused) {
        SCOPED_TRACE(visible(c.story));
        auto p = parse_story(c.story);
        auto *e = std::get_if<StoryError>(&p);
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->line, c.line);
        EXPECT_EQ(e->column, c.column);
        EXPECT_EQ(e->message, c.message);
    }
}

} // namespace
} // namespace tool
