// `drovik-sim run STORY` and `drovik-sim demo`: a story played on a fresh device.
#include "story.h"

#include <cstdio>

#include "engine.h"
#include "tool/guard.h"

namespace tool {

using namespace std::chrono_literals;

std::variant<Story, StoryError> parse_story(std::string_view text)
{
    Story s;
    int number = 0;
    while (!text.empty()) {
        ++number;
        size_t nl = text.find('\n');
        std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        Parsed p = parse_line(line);
        if (auto *e = std::get_if<ParseError>(&p))
            return StoryError{number, e->column, e->message, std::string(line)};
        auto *c = std::get_if<Command>(&p);
        if (!c)
            continue;
        if (!c->verb->in_stories)
            return StoryError{number, 1, "'" + std::string(c->verb->name) + "' is for the shell", std::string(line)};
        const bool boot = c->section() == Section::Boot;
        if (boot && !s.body.empty()) {
            size_t col = line.find_first_not_of(" \t") + 1;
            return StoryError{number, col,
                              "boot lines set the device up before it boots: they come before every other line",
                              std::string(line)};
        }
        (boot ? s.boot : s.body).push_back({number, std::string(line), std::move(*c)});
    }
    return s;
}

std::optional<Story> load_story(std::string_view text, const std::string &name)
{
    auto parsed = parse_story(text);
    if (auto *s = std::get_if<Story>(&parsed))
        return std::move(*s);
    auto &e = std::get<StoryError>(parsed);
    fprintf(stderr, "drovik-sim: %s:%d:%zu: %s\n", name.c_str(), e.line, e.column, e.message.c_str());
    // The line as written, with a mark under the column.
    std::string before = visible(std::string_view(e.text).substr(0, e.column - 1));
    fprintf(stderr, "    %s\n    %*s^\n", visible(e.text).c_str(), static_cast<int>(before.size()), "");
    return std::nullopt;
}

namespace {

struct StepRecord {
    int number = 0;
    std::string title;
    std::vector<std::string> problems;
};

class Player {
public:
    Player(sim::Device &d, Mode mode) : d_(d), mode_(mode), e_(d, mode == Mode::Run, "   ")
    {
        e_.on_step = [this](const std::string &title) {
            end_step();
            steps_.push_back({static_cast<int>(steps_.size()) + 1, title, {}});
            printf("\n== %d. %s\n", steps_.back().number, title.c_str());
            flush();
        };
    }

    // Plays the story; false when it stopped at an unmet expectation or a failed command.
    bool play(const Story &s, bool start_daemon)
    {
        if (start_daemon) {
            e_.start_daemon();
            e_.notice_daemon_end();
        }
        for (auto &l : s.body) {
            const Command &c = l.cmd;
            if (c.section() == Section::Narration) {
                e_.run(c);
                continue;
            }
            StepRecord &step = current();
            const bool expectation = c.section() == Section::Expectation;
            // A step that has gone wrong says so once; its commands still run.
            if (mode_ == Mode::Demo && expectation && !step.problems.empty())
                continue;
            if (mode_ == Mode::Run && !expectation) {
                printf("   > %s\n", visible(trimmed(l.text)).c_str());
                flush();
            }
            Outcome o = e_.run(c);
            e_.notice_daemon_end();
            if (o == Outcome::Quit)
                break;
            if (o == Outcome::Done)
                continue;
            step.problems.push_back("line " + std::to_string(l.number) + ": " + visible(trimmed(l.text)) +
                                    (o == Outcome::Unmet ? " (not met)" : " (failed)"));
            if (mode_ == Mode::Run) {
                end_step();
                printf("\n== The story stopped at line %d: %s\n", l.number,
                       o == Outcome::Unmet ? "an expectation was not met" : "a command failed");
                flush();
                return false;
            }
        }
        end_step();
        if (mode_ == Mode::Run) {
            printf("\n== The story went as written\n");
            flush();
            return true;
        }
        return summary();
    }

private:
    static std::string trimmed(const std::string &s)
    {
        size_t b = s.find_first_not_of(" \t");
        size_t e = s.find_last_not_of(" \t\r");
        return b == std::string::npos ? "" : s.substr(b, e - b + 1);
    }

    StepRecord &current()
    {
        if (steps_.empty())
            steps_.push_back({0, "before the first step", {}});
        return steps_.back();
    }

    // What the step made happen: the new log lines, property writes and the services' states.
    void end_step()
    {
        if (steps_.empty() && d_.log().empty())
            return;
        d_.wait_log_quiet(150ms, 1s);
        // Lets services that are being stopped finish (until init has reaped them).
        sim::Device::wait_until(
            [&] {
                for (auto &s : d_.services())
                    if (s.state == "stopping")
                        return false;
                return true;
            },
            2500ms, 20ms);
        printf("   daemon log:\n");
        if (e_.viewer().show_log("     ") == 0)
            printf("     (no new lines)\n");
        e_.viewer().show_writes("   ");
        e_.viewer().show_services("   ");
        e_.notice_daemon_end();
        flush();
    }

    bool summary()
    {
        printf("\n== How it went\n");
        size_t good = 0;
        for (auto &s : steps_) {
            std::string name = s.number ? std::to_string(s.number) + ". " + s.title : "(" + s.title + ")";
            printf("   %s: %s\n", name.c_str(), s.problems.empty() ? "as narrated" : "NOT as narrated");
            for (auto &p : s.problems)
                printf("        %s\n", p.c_str());
            good += s.problems.empty();
        }
        if (good == steps_.size())
            printf("   Every step went as narrated.\n");
        else
            printf("   %zu of %zu steps went as narrated.\n", good, steps_.size());
        flush();
        return good == steps_.size();
    }

    sim::Device &d_;
    Mode mode_;
    Engine e_;
    std::vector<StepRecord> steps_;
};

std::string command_text(const std::vector<std::string> &argv)
{
    std::string out;
    for (auto &a : argv) {
        bool plain = !a.empty() && a.find_first_of(" \t\"'\\$") == std::string::npos;
        out += (out.empty() ? "" : " ") + (plain ? sim::printable(a) : quoted_text(a));
    }
    return out;
}

} // namespace

int run_story(const Story &story, const std::string &name, const Settings &s, Mode mode)
{
    BootSetup setup{tool_device(s), true};
    for (auto &l : story.boot) {
        std::string problem = l.cmd.verb->set_up(setup, l.cmd.args);
        if (!problem.empty()) {
            fprintf(stderr, "drovik-sim: %s:%d: %s\n", name.c_str(), l.number, problem.c_str());
            return 2;
        }
    }
    sim::Options &o = setup.options;
    o.start_daemon = false;

    std::optional<TempDir> tmp;
    std::string persist = s.persist;
    if (persist.empty()) {
        tmp.emplace(mode == Mode::Demo ? "drovik-sim-demo" : "drovik-sim-run");
        persist = tmp->path() + "/persist.props";
    }
    o.persist_file = persist;
    if (mode == Mode::Demo)
        printf("drovik-sim demo: a simulated Android device running the drovik daemon\n");
    else
        printf("drovik-sim run %s\n", name.c_str());
    printf("   daemon command: %s\n", command_text(s.daemon).c_str());
    printf("   persist.* properties kept in: %s%s\n", persist.c_str(),
           tmp ? mode == Mode::Demo ? " (fresh for this demo)" : " (fresh for this run)" : "");
    flush();

    bool ok;
    {
        sim::Device d(o);
        DeviceGuard guard(d);
        ok = Player(d, mode).play(story, setup.start_daemon);
    }
    printf("   (the device is torn down)\n");
    flush();
    return ok ? 0 : 1;
}

} // namespace tool
