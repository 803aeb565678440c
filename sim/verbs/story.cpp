// The verbs that give a story its shape: narration, and the boot lines that
// set the device up before it boots.
#include <optional>

#include "lang/engine.h"

namespace tool {
namespace {

struct Prose {
    std::string text;
};
struct State {
    std::optional<std::string> word; // nullopt: the file is absent
};
struct Ports {
    std::optional<int> count;
};
struct Property {
    std::string name, value;
};
struct ServiceSigterm {
    std::string name;
    bool ignores = false;
};
struct On {
    bool on = true;
};

// Boot lines run before the device boots; on a running one they fail.
template <class P>
Verb boot(VerbInfo info, P (*parse)(Args &), std::string (*set_up)(BootSetup &, const P &),
          std::string (*text)(const P &))
{
    Verb v = verb<P>(info, parse, set_up, text);
    v.run = [](Engine &e, const std::any &) {
        return e.fail("boot lines set a device up before it boots: they belong at the top of a story");
    };
    return v;
}

const Verb kVerbs[] = {
    verb<Prose>(
        {"step", Section::Narration, "step TITLE", ""},
        [](Args &a) {
            const Token &t = a.next("TITLE");
            if (t.value.empty())
                refuse(t.col, "a step needs a title");
            return Prose{t.value};
        },
        [](Engine &e, const Prose &p) {
            e.on_step(p.text);
            return Outcome::Done;
        },
        [](const Prose &p) { return "step " + p.text; }),
    verb<Prose>(
        {"say", Section::Narration, "say TEXT", ""}, [](Args &a) { return Prose{a.next("TEXT").value}; },
        [](Engine &e, const Prose &p) {
            e.put(p.text);
            return Outcome::Done;
        },
        [](const Prose &p) { return "say " + p.text; }),

    boot<State>(
        {"boot usb", Section::Boot, "boot usb WORD|absent", ""},
        [](Args &a) { return a.optional("absent") ? State{} : State{a.text("WORD or absent")}; },
        [](BootSetup &b, const State &s) {
            b.options.usb_state = s.word ? std::optional<std::string>(*s.word + "\n") : std::nullopt;
            return std::string();
        },
        [](const State &s) { return "boot usb " + (s.word ? written(*s.word) : "absent"); }),
    boot<Ports>(
        {"boot ports", Section::Boot, "boot ports N|absent", ""},
        [](Args &a) {
            return a.optional("absent") ? Ports{} : Ports{static_cast<int>(a.number("the port count", 0, 255))};
        },
        [](BootSetup &b, const Ports &p) {
            b.options.serial_port_num =
                p.count ? std::optional<std::string>(std::to_string(*p.count) + "\n") : std::nullopt;
            return std::string();
        },
        [](const Ports &p) { return "boot ports " + (p.count ? std::to_string(*p.count) : "absent"); }),
    boot<Property>(
        {"boot setprop", Section::Boot, "boot setprop NAME VALUE", ""},
        [](Args &a) {
            return Property{a.text("NAME"), a.text("VALUE")};
        },
        [](BootSetup &b, const Property &p) {
            b.options.properties[p.name] = p.value;
            return std::string();
        },
        [](const Property &p) { return "boot setprop " + written(p.name) + " " + written(p.value); }),
    boot<ServiceSigterm>(
        {"boot service", Section::Boot, "boot service NAME ignores-sigterm|obeys-sigterm", ""},
        [](Args &a) {
            return ServiceSigterm{a.text("NAME"), a.keyword(kSigtermWords) == "ignores-sigterm"};
        },
        [](BootSetup &b, const ServiceSigterm &s) {
            if (!b.options.services.count(s.name))
                return "the device has no service " + sim::printable(s.name) + " (it has mulgate and sprue)";
            b.options.services[s.name].ignore_sigterm = s.ignores;
            return std::string();
        },
        [](const ServiceSigterm &s) {
            return "boot service " + written(s.name) + (s.ignores ? " ignores-sigterm" : " obeys-sigterm");
        }),
    boot<On>(
        {"boot daemon", Section::Boot, "boot daemon on|off", ""},
        [](Args &a) { return On{a.keyword("on|off") == "on"}; },
        [](BootSetup &b, const On &o) {
            b.start_daemon = o.on;
            return std::string();
        },
        [](const On &o) { return std::string(o.on ? "boot daemon on" : "boot daemon off"); }),
};

} // namespace

std::span<const Verb> story_verbs()
{
    return kVerbs;
}

} // namespace tool
