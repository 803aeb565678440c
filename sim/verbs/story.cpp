// The verbs that give a story its shape: narration, and the boot lines that
// set the device up before it boots.
#include <optional>

#include "lang/engine.h"

namespace tool {
namespace {

Outcome step(Engine &e, const Values &v)
{
    e.on_step(v[0].text);
    return Outcome::Done;
}

Outcome say(Engine &e, const Values &v)
{
    e.put(v[0].text);
    return Outcome::Done;
}

std::string boot_usb(BootSetup &b, const Values &v)
{
    b.options.usb_state = v[0].given ? std::optional<std::string>(v[0].text + "\n") : std::nullopt;
    return "";
}

std::string boot_ports(BootSetup &b, const Values &v)
{
    b.options.serial_port_num =
        v[0].given ? std::optional<std::string>(std::to_string(v[0].number) + "\n") : std::nullopt;
    return "";
}

std::string boot_setprop(BootSetup &b, const Values &v)
{
    b.options.properties[v[0].text] = v[1].text;
    return "";
}

std::string boot_service(BootSetup &b, const Values &v)
{
    const std::string &name = v[0].text;
    // A name the .rc files do not define fails the boot, saying so.
    b.options.services[name].ignore_sigterm = v[1].text == "ignores-sigterm";
    return "";
}

std::string boot_daemon(BootSetup &b, const Values &v)
{
    b.start_daemon = v[0].text == "on";
    return "";
}

const Verb kVerbs[] = {
    {"step", Section::Narration, {arg::prose("TITLE", "a step needs a title")}, "step TITLE", "", step},
    {"say", Section::Narration, {arg::prose("TEXT")}, "say TEXT", "", say},

    {"boot usb",
     Section::Boot,
     {arg::or_absent(arg::text("WORD or absent"))},
     "boot usb WORD|absent",
     "",
     nullptr,
     boot_usb},
    {"boot ports",
     Section::Boot,
     {arg::or_absent(arg::number("the port count", 0, 255))},
     "boot ports N|absent",
     "",
     nullptr,
     boot_ports},
    {"boot setprop",
     Section::Boot,
     {arg::text("NAME"), arg::text("VALUE")},
     "boot setprop NAME VALUE",
     "",
     nullptr,
     boot_setprop},
    {"boot service",
     Section::Boot,
     {arg::text("NAME"), arg::keyword(kSigtermWords)},
     "boot service NAME ignores-sigterm|obeys-sigterm",
     "",
     nullptr,
     boot_service},
    {"boot daemon", Section::Boot, {arg::keyword("on|off")}, "boot daemon on|off", "", nullptr, boot_daemon},
};

} // namespace

std::span<const Verb> story_verbs()
{
    return kVerbs;
}

} // namespace tool
