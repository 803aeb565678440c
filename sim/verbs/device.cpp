// The verbs that act on the device and on the daemon.
#include <signal.h>

#include <thread>

#include "lang/engine.h"

namespace tool {

using namespace std::chrono_literals;

namespace {

constexpr sim::Millis kStopWait = 10s; // until a stopped daemon has ended

struct Text {
    std::string value;
};
struct NameValue {
    std::string name, value;
};
struct Count {
    int n = 0;
};
struct Process {
    std::string name;
    bool ignores_sigterm = false;
};
struct Kill {
    std::string name;
    int sig = SIGTERM;
};
struct Signal {
    int sig = 0;
};
struct Wait {
    sim::Millis time{0};
};

std::string sigterm_word(bool ignores)
{
    return ignores ? "ignores-sigterm" : "obeys-sigterm";
}

// A signal to the running daemon; a stop waits for its end.
Outcome signal_daemon(Engine &e, int sig, bool wait_end)
{
    sim::Device &d = e.device();
    if (!e.daemon_running())
        return e.fail("the daemon is not running ('start' starts it)");
    d.signal_daemon(sig);
    e.say("sent " + signal_name(sig) + " to the daemon (pid " + std::to_string(d.daemon_pid()) + ")");
    if (wait_end && !d.wait_daemon_exit(kStopWait))
        e.put("the daemon (pid " + std::to_string(d.daemon_pid()) + ") is still running " + time_text(kStopWait) +
              " after SIGTERM");
    return Outcome::Done;
}

const Verb kVerbs[] = {
    simple({"plug", Section::Device, "plug", "attach the cable: gadget CONNECTED, then CONFIGURED"},
           [](Engine &e) {
               e.device().plug();
               e.say("cable attached: CONNECTED, then CONFIGURED");
               return Outcome::Done;
           }),
    simple({"unplug", Section::Device, "unplug", "pull the cable: gadget DISCONNECTED"},
           [](Engine &e) {
               e.device().unplug();
               e.say("cable pulled: DISCONNECTED");
               return Outcome::Done;
           }),
    verb<Text>(
        {"usb", Section::Device, "usb WORD", "the state file reads WORD, and the kernel announces USB_STATE=WORD"},
        [](Args &a) { return Text{a.nonempty_text("WORD", "the state word is empty")}; },
        [](Engine &e, const Text &t) {
            e.device().set_usb_state(t.value);
            e.say("the state file reads " + quoted_text(t.value + "\n") +
                  "; uevent USB_STATE=" + sim::printable(t.value) + " sent");
            return Outcome::Done;
        },
        [](const Text &t) { return "usb " + written(t.value); }),
    verb<Count>(
        {"ports", Section::Device, "ports N", "serial ports the gadget offers (0 to 255)"},
        [](Args &a) { return Count{static_cast<int>(a.number("the port count", 0, 255))}; },
        [](Engine &e, const Count &c) {
            e.device().set_ports(c.n);
            e.say("serial_port_num now reads " + std::to_string(c.n));
            return Outcome::Done;
        },
        [](const Count &c) { return "ports " + std::to_string(c.n); }),
    verb<Text>(
        {"uevent", Section::Device, "uevent TEXT",
         "one raw uevent datagram, e.g. \"change@/x\\0USB_STATE=CONFIGURED\\0\""},
        [](Args &a) { return Text{a.nonempty_text("TEXT", "the kernel sends no empty uevent")}; },
        [](Engine &e, const Text &t) {
            e.device().send_uevent(t.value);
            e.say("uevent sent: " + std::to_string(t.value.size()) + " bytes");
            return Outcome::Done;
        },
        [](const Text &t) { return "uevent " + written(t.value); }),
    verb<NameValue>(
        {"setprop", Section::Device, "setprop NAME VALUE; quote a value with spaces, \"\" is empty",
         "set a property as from outside the device; ctl.start / ctl.stop\n"
         "with mulgate or sprue control the services"},
        // Braces read the arguments in their order.
        [](Args &a) {
            return NameValue{a.text("NAME"), a.text("VALUE")};
        },
        [](Engine &e, const NameValue &p) {
            try {
                e.device().setprop(p.name, p.value);
            } catch (const sim::Error &err) {
                // The property service's own word: an invalid name, a read-only property...
                std::string why = err.what();
                size_t r = why.find("refused");
                return e.fail("setprop " + quoted_text(p.name) + " " + quoted_text(p.value) + ": " +
                              (r == std::string::npos ? why : why.substr(r)));
            }
            e.say(sim::printable(p.name) + " = " + quoted_text(p.value));
            return Outcome::Done;
        },
        [](const NameValue &p) { return "setprop " + written(p.name) + " " + written(p.value); }),
    verb<Text>(
        {"getprop", Section::Device, "getprop NAME", "show a property"}, [](Args &a) { return Text{a.text("NAME")}; },
        [](Engine &e, const Text &t) {
            auto v = e.device().getprop(t.value);
            e.put(v ? quoted_text(*v) : "(unset)");
            return Outcome::Done;
        },
        [](const Text &t) { return "getprop " + written(t.value); }),
    verb<Process>(
        {"service", Section::Device, "service NAME ignores-sigterm|obeys-sigterm",
         "how the service's process takes SIGTERM, from its next start"},
        [](Args &a) {
            return Process{a.text("NAME"), a.keyword(kSigtermWords) == "ignores-sigterm"};
        },
        [](Engine &e, const Process &p) {
            e.device().service(p.name); // throws for an unknown service
            e.device().set_service_options(p.name, {p.ignores_sigterm, false});
            e.say(p.name + (p.ignores_sigterm ? " ignores" : " obeys") + " SIGTERM from its next start");
            return Outcome::Done;
        },
        [](const Process &p) { return "service " + written(p.name) + " " + sigterm_word(p.ignores_sigterm); }),
    verb<Process>(
        {"spawn", Section::Device, "spawn NAME [ignores-sigterm]",
         "an extra process of that name, outside init's services"},
        [](Args &a) {
            return Process{a.text("NAME"), a.optional("ignores-sigterm")};
        },
        [](Engine &e, const Process &p) {
            pid_t pid = e.device().spawn_named(p.name, p.ignores_sigterm);
            e.say("process " + sim::printable(p.name) + " started, pid " + std::to_string(pid) +
                  (p.ignores_sigterm ? ", ignoring SIGTERM" : ""));
            return Outcome::Done;
        },
        [](const Process &p) { return "spawn " + written(p.name) + (p.ignores_sigterm ? " ignores-sigterm" : ""); }),
    verb<Kill>(
        {"kill", Section::Device, "kill NAME [SIGNAL]", "a signal (default TERM) to every process of that name"},
        [](Args &a) {
            Kill k;
            k.name = a.text("NAME");
            if (a.more())
                k.sig = a.signal("SIGNAL");
            return k;
        },
        [](Engine &e, const Kill &k) {
            auto pids = e.device().pids_named(k.name);
            if (pids.empty())
                return e.fail("no process is named " + quoted_text(k.name));
            std::string list;
            for (pid_t p : pids) {
                e.device().kill(p, k.sig);
                list += (list.empty() ? "" : ", ") + std::to_string(p);
            }
            e.say("sent " + signal_name(k.sig) + " to " + sim::printable(k.name) + " (pid " + list + ")");
            return Outcome::Done;
        },
        [](const Kill &k) { return "kill " + written(k.name) + " " + signal_name(k.sig); }),

    verb<Signal>(
        {"signal", Section::Daemon, "signal SIGNAL", "send it a signal: USR2, TERM, INT, KILL, ... or a number"},
        [](Args &a) { return Signal{a.signal("SIGNAL")}; },
        [](Engine &e, const Signal &s) { return signal_daemon(e, s.sig, false); },
        [](const Signal &s) { return "signal " + signal_name(s.sig); }),
    simple({"restart", Section::Daemon, "restart", "ask it to restart mulgate (SIGUSR2)"},
           [](Engine &e) { return signal_daemon(e, SIGUSR2, false); }),
    simple({"stop", Section::Daemon, "stop", "stop it (SIGTERM) and wait for its end"},
           [](Engine &e) { return signal_daemon(e, SIGTERM, true); }),
    simple({"start", Section::Daemon, "start", "start it (again) and wait until it listens for uevents"},
           [](Engine &e) { return e.start_daemon(); }),
    verb<Wait>(
        {"wait", Section::Daemon, "wait TIME", "do nothing for a while: 500ms, 2s, 1.5s"},
        [](Args &a) { return Wait{a.time()}; },
        [](Engine &, const Wait &w) {
            std::this_thread::sleep_for(w.time);
            return Outcome::Done;
        },
        [](const Wait &w) { return "wait " + time_text(w.time); }),
};

} // namespace

std::span<const Verb> device_verbs()
{
    return kVerbs;
}

} // namespace tool
