// The verbs that act on the device and on the daemon.
#include <signal.h>

#include <thread>

#include "lang/engine.h"

namespace tool {

using namespace std::chrono_literals;

namespace {

Outcome plug(Engine &e, const Values &)
{
    e.device().plug();
    e.say("cable attached: CONNECTED, then CONFIGURED");
    return Outcome::Done;
}

Outcome unplug(Engine &e, const Values &)
{
    e.device().unplug();
    e.say("cable pulled: DISCONNECTED");
    return Outcome::Done;
}

Outcome usb(Engine &e, const Values &v)
{
    const std::string &word = v[0].text;
    e.device().set_usb_state(word);
    e.say("the state file reads " + quoted_text(word + "\n") + "; uevent USB_STATE=" + sim::printable(word) + " sent");
    return Outcome::Done;
}

Outcome ports(Engine &e, const Values &v)
{
    e.device().set_ports(static_cast<int>(v[0].number));
    e.say("serial_port_num now reads " + std::to_string(v[0].number));
    return Outcome::Done;
}

Outcome uevent(Engine &e, const Values &v)
{
    e.device().send_uevent(v[0].text);
    e.say("uevent sent: " + std::to_string(v[0].text.size()) + " bytes");
    return Outcome::Done;
}

Outcome setprop(Engine &e, const Values &v)
{
    const std::string &name = v[0].text, &value = v[1].text;
    try {
        e.device().setprop(name, value);
    } catch (const sim::Error &err) {
        // The property service's own word: an invalid name, a read-only property...
        std::string why = err.what();
        size_t r = why.find("refused");
        return e.fail("setprop " + quoted_text(name) + " " + quoted_text(value) + ": " +
                      (r == std::string::npos ? why : why.substr(r)));
    }
    e.say(sim::printable(name) + " = " + quoted_text(value));
    e.device().follow_daemon(); // a ctl.start of the daemon's service
    return Outcome::Done;
}

Outcome getprop(Engine &e, const Values &v)
{
    auto value = e.device().getprop(v[0].text);
    e.put(value ? quoted_text(*value) : "(unset)");
    return Outcome::Done;
}

Outcome service(Engine &e, const Values &v)
{
    const std::string &name = v[0].text;
    const bool ignores = v[1].text == "ignores-sigterm";
    e.device().service(name); // throws for an unknown service
    e.device().set_service_options(name, {ignores});
    e.say(name + (ignores ? " ignores" : " obeys") + " SIGTERM from its next start");
    return Outcome::Done;
}

Outcome spawn(Engine &e, const Values &v)
{
    const bool ignores = v[1].given;
    pid_t pid = e.device().spawn_named(v[0].text, ignores);
    e.say("process " + sim::printable(v[0].text) + " started, pid " + std::to_string(pid) +
          (ignores ? ", ignoring SIGTERM" : ""));
    return Outcome::Done;
}

Outcome kill(Engine &e, const Values &v)
{
    const std::string &name = v[0].text;
    const int sig = static_cast<int>(v[1].number);
    auto pids = e.device().pids_named(name);
    if (pids.empty())
        return e.fail("no process is named " + quoted_text(name));
    std::string list;
    for (pid_t p : pids) {
        e.device().kill(p, sig);
        list += (list.empty() ? "" : ", ") + std::to_string(p);
    }
    e.say("sent " + signal_name(sig) + " to " + sim::printable(name) + " (pid " + list + ")");
    return Outcome::Done;
}

// A signal to the running daemon.
Outcome signal_daemon(Engine &e, int sig)
{
    sim::Device &d = e.device();
    if (!e.daemon_running())
        return e.fail("the daemon is not running ('start drovik' starts it)");
    d.signal_daemon(sig);
    e.say("sent " + signal_name(sig) + " to the daemon (pid " + std::to_string(d.daemon_pid()) + ")");
    return Outcome::Done;
}

Outcome signal(Engine &e, const Values &v)
{
    return signal_daemon(e, static_cast<int>(v[0].number));
}

Outcome restart(Engine &e, const Values &)
{
    return signal_daemon(e, SIGUSR2);
}

Outcome stop(Engine &e, const Values &v)
{
    return e.stop_service(v[0].text);
}

Outcome start(Engine &e, const Values &v)
{
    return e.start_service(v[0].text);
}

Outcome wait(Engine &, const Values &v)
{
    std::this_thread::sleep_for(sim::Millis(v[0].number));
    return Outcome::Done;
}

const Verb kVerbs[] = {
    {"plug", Section::Device, {}, "plug", "attach the cable: gadget CONNECTED, then CONFIGURED", plug},
    {"unplug", Section::Device, {}, "unplug", "pull the cable: gadget DISCONNECTED", unplug},
    {"usb",
     Section::Device,
     {arg::nonempty("WORD", "the state word is empty")},
     "usb WORD",
     "the state file reads WORD, and the kernel announces USB_STATE=WORD",
     usb},
    {"ports",
     Section::Device,
     {arg::number("the port count", 0, 255)},
     "ports N",
     "serial ports the gadget offers (0 to 255)",
     ports},
    {"uevent",
     Section::Device,
     {arg::nonempty("TEXT", "the kernel sends no empty uevent")},
     "uevent TEXT",
     "one raw uevent datagram, e.g. \"change@/x\\0USB_STATE=CONFIGURED\\0\"",
     uevent},
    {"setprop",
     Section::Device,
     {arg::text("NAME"), arg::text("VALUE")},
     "setprop NAME VALUE; quote a value with spaces, \"\" is empty",
     "set a property as from outside the device; ctl.start / ctl.stop\n"
     "with drovik, mulgate or sprue go to init's service control",
     setprop},
    {"getprop", Section::Device, {arg::text("NAME")}, "getprop NAME", "show a property", getprop},
    {"service",
     Section::Device,
     {arg::text("NAME"), arg::keyword(kSigtermWords)},
     "service NAME ignores-sigterm|obeys-sigterm",
     "how the service's process takes SIGTERM, from its next start",
     service},
    {"spawn",
     Section::Device,
     {arg::text("NAME"), arg::flag("ignores-sigterm")},
     "spawn NAME [ignores-sigterm]",
     "an extra process of that name, outside init's services",
     spawn},
    {"kill",
     Section::Device,
     {arg::text("NAME"), arg::signal_or("SIGNAL", SIGTERM)},
     "kill NAME [SIGNAL]",
     "a signal (default TERM) to every process of that name",
     kill},

    {"signal",
     Section::Daemon,
     {arg::signal("SIGNAL")},
     "signal SIGNAL",
     "send it a signal: USR2, TERM, INT, KILL, ... or a number",
     signal},
    {"restart", Section::Daemon, {}, "restart", "ask it to restart mulgate (SIGUSR2)", restart},
    {"stop",
     Section::Daemon,
     {arg::text("SERVICE")},
     "stop SERVICE",
     "init's stop of a service (ctl.stop): stop drovik ends the daemon and waits for its end",
     stop},
    {"start",
     Section::Daemon,
     {arg::text("SERVICE")},
     "start SERVICE",
     "init's start of a service (ctl.start): start drovik waits until the daemon listens for uevents",
     start},
    {"wait", Section::Daemon, {arg::time()}, "wait TIME", "do nothing for a while: 500ms, 2s, 1.5s", wait},
};

} // namespace

std::span<const Verb> device_verbs()
{
    return kVerbs;
}

} // namespace tool
