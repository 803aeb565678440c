// Story files: a whole story parsed before a device boots, and played.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "tool/commands.h"
#include "verb.h"

namespace tool {

// A whole story: its boot lines, then its steps with their line numbers.
struct StoryLine {
    int number = 0;
    std::string text;
    Command cmd;
};
struct Story {
    std::vector<StoryLine> boot;
    std::vector<StoryLine> body;
};
struct StoryError {
    int line = 0;
    size_t column = 1;
    std::string message;
    std::string text; // the line itself
};
std::variant<Story, StoryError> parse_story(std::string_view text);
// A story file, parsed; on error, says where (name:line:column) on stderr.
std::optional<Story> load_story(std::string_view text, const std::string &name);

// `demo` goes on after an unmet expectation and sums the steps up at the end;
// `run` stops at the first one.
enum class Mode { Demo, Run };
int run_story(const Story &story, const std::string &name, const Settings &s, Mode mode);
extern const char kDemoStory[]; // stories/demo.story, built in

} // namespace tool
