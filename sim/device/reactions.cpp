#include "sim/reactions.h"

#include <csignal>
#include <regex>

#include "sim/device.h"

namespace sim::reactions {

bool Line::matches(std::string_view message) const
{
    if (!pattern)
        return message == text;
    return std::regex_match(message.begin(), message.end(), std::regex(text));
}

Line exact(std::string text)
{
    return {std::move(text), false};
}

Line pattern(std::string regex)
{
    return {std::move(regex), true};
}

namespace {

std::string num(long v)
{
    return std::to_string(v);
}

const std::string kMonitor = "zel_handle_monitor_usb_loop ";

Lines exacts(std::initializer_list<std::string> texts)
{
    Lines out;
    for (auto &t : texts)
        out.push_back(exact(t));
    return out;
}

void append(Lines &to, const Lines &more)
{
    to.insert(to.end(), more.begin(), more.end());
}

// The event-log switch's handling: its value as read, and sprue started
// when it asks for it.
Lines switch_lines(const std::string &switch_value, bool starts_sprue)
{
    Lines v{exact(msg::switch_value(switch_value))};
    if (starts_sprue)
        v.push_back(exact(msg::sprue_start()));
    v.push_back(exact(msg::switch_done()));
    return v;
}

Lines disconnect_start()
{
    return exacts({msg::usb_status("USB_STATE=DISCONNECTED"), msg::disconnect_event(), msg::stop_service()});
}

} // namespace

namespace msg {

// clang-format off
std::string pid(pid_t daemon) { return "PID of drovik: " + num(daemon); }
std::string switch_value(std::string_view v) { return "current " + std::string(kSwitch) + ": " + std::string(v); }
std::string sprue_start() { return "property_set ctl.start sprue"; }
std::string switch_done() { return "sprue_start_by_prop return:0."; }
std::string state_read(std::string_view content) { return "read content: " + std::string(content); }
std::string stop_service() { return "stopService() return: 0"; }
std::string start_service() { return "startService() return: 0"; }
std::string serial_count(int ports) { return "read_usb_serial_number : [" + num(ports) + "]"; }
std::string not_serial() { return "usb_config_now not serial"; }
std::string poll(std::string_view state) { return "current service: init.svc.mulgate, state: " + std::string(state); }
std::string poll_gave_up(std::string_view state)
{
    return "current service: init.svc.mulgate is not stopped during 2 seconds, state: " + std::string(state);
}
std::string usb_status(std::string_view field) { return kMonitor + "usb_status:[" + std::string(field) + "]"; }
std::string disconnect_event() { return kMonitor + "get usb disconnect event"; }
std::string configured_event() { return kMonitor + "get usb CONFIGURED event"; }
std::string other_event() { return kMonitor + "get usb other status event"; }
std::string no_sprue() { return "(drovik)No SPRUE running.\n"; }
std::string sprue_running() { return "(drovik)SPRUE is already running.\n"; }
std::string sprue_pid(pid_t pid, int index) { return "process(sprue) pid is: " + num(pid) + ", i:" + num(index) + ". \n"; }
std::string mulgate_pid(pid_t pid, int index) { return "process(mulgate) pid is: " + num(pid) + ", i:" + num(index) + "."; }
std::string signal(int sig) { return "(drovik)receive signal: " + num(sig); }
std::string mulgate_running() { return "mulgate is running."; }
std::string mulgate_not_running() { return "mulgate is not run."; }
std::string mulgate_termed(pid_t pid) { return "send signal OK. pid:" + num(pid) + ", signo:15."; }
std::string mulgate_still_running(int check) { return "mulgate is still running, try_count:" + num(check) + "."; }
std::string restart_busy() { return " service-restart is processing, do not do again."; }
std::string restart_end() { return "restart_service end."; }
std::string stop_end() { return "manager_stop exit."; }
std::string proc_unreadable() { return "cannot open /proc\n"; }
std::string proc_lookup_failed() { return "call findPidByNameEx, return error. \n"; }
std::string restart_lookup_failed() { return "cal find_pid_by_name, return error."; }
std::string proc_unreadable_on_stdout() { return "cannot open /proc"; }
// clang-format on

} // namespace msg

Line thread_end()
{
    return pattern("thread -?[0-9]+ will be end");
}

Lines start_up(pid_t daemon, const std::string &switch_value, bool starts_sprue)
{
    Lines v{pattern("\n    drovik, version 1\\.0\\.0\n"
                    "    Build time: (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [ 1-3][0-9] [0-9]{4} "
                    "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]\n"),
            exact(msg::pid(daemon))};
    append(v, switch_lines(switch_value, starts_sprue));
    return v;
}

Lines state_read(const std::string &content)
{
    return exacts({msg::state_read(content),
                   "readed success from file(" + std::string(Device::kStateFile) + "). value: " + content + "."});
}

Lines state_missing()
{
    return exacts({"open(\"" + std::string(Device::kStateFile) + "\") fail: 2 - No such file or directory"});
}

Lines state_unreadable()
{
    return {pattern("read fail: -?[0-9]+ - .*")};
}

Lines configured_start_up(pid_t daemon, const std::string &switch_value, bool starts_sprue)
{
    Lines v = start_up(daemon, switch_value, starts_sprue);
    append(v, state_read("CONFIGURED\n"));
    v.push_back(exact(msg::stop_service()));
    append(v, start_lines());
    return v;
}

Lines start_lines(int ports)
{
    if (ports == 0)
        return exacts({msg::serial_count(0), msg::not_serial()});
    return exacts({msg::serial_count(ports), msg::poll("stopped"), msg::start_service()});
}

Lines start_gives_up_lines()
{
    Lines v{exact(msg::serial_count(1))};
    for (int i = 0; i < kPolls; ++i)
        v.push_back(exact(msg::poll("running")));
    append(v, exacts({msg::poll_gave_up("running"), msg::start_service()}));
    return v;
}

Lines other_state_lines(std::string_view field)
{
    return exacts({msg::usb_status(field), msg::other_event()});
}

Lines configured_lines(int ports)
{
    Lines v = exacts({msg::usb_status("USB_STATE=CONFIGURED"), msg::configured_event()});
    append(v, start_lines(ports));
    return v;
}

Lines configured_while_running_lines()
{
    Lines v = exacts({msg::usb_status("USB_STATE=CONFIGURED"), msg::configured_event()});
    append(v, start_gives_up_lines());
    return v;
}

Lines plug_lines()
{
    Lines v = other_state_lines("USB_STATE=CONNECTED");
    append(v, configured_lines());
    return v;
}

Lines disconnect_lines(const std::string &switch_value, bool starts_sprue, bool proc_readable)
{
    Lines v = disconnect_start();
    if (!proc_readable)
        append(v, exacts({msg::proc_unreadable(), msg::proc_lookup_failed()}));
    v.push_back(exact(msg::no_sprue()));
    append(v, switch_lines(switch_value, starts_sprue));
    return v;
}

Lines disconnect_sprue_running_lines(const std::vector<pid_t> &sprue)
{
    Lines v = disconnect_start();
    for (size_t i = 0; i < sprue.size(); ++i)
        v.push_back(exact(msg::sprue_pid(sprue[i], static_cast<int>(i))));
    v.push_back(exact(msg::sprue_running()));
    return v;
}

Lines restart_lines(const Restart &r)
{
    Lines v{exact(msg::signal(SIGUSR2))};
    if (!r.proc_readable)
        v.push_back(exact(msg::restart_lookup_failed()));
    if (r.mulgate == 0) {
        v.push_back(exact(msg::mulgate_not_running()));
    } else {
        append(v, exacts({msg::mulgate_pid(r.mulgate, 0), msg::mulgate_running(), msg::mulgate_pid(r.mulgate, 0),
                          msg::mulgate_termed(r.mulgate)}));
        for (int k = 0; r.mulgate_ignores_sigterm && k < kTermChecks; ++k)
            append(v, exacts({msg::mulgate_pid(r.mulgate, 0), msg::mulgate_still_running(k)}));
    }
    v.push_back(exact(msg::stop_service()));
    append(v, start_lines(r.ports));
    v.push_back(exact(msg::restart_end()));
    return v;
}

Lines stop_lines(int sig)
{
    return exacts({msg::signal(sig), msg::stop_service(), msg::stop_end()});
}

Lines monitor_refused_lines()
{
    return exacts(
        {"pthread_create() g_monitor_usb_thread_id fail: 11", "drovik start fail. ret_val=-118.", msg::stop_end()});
}

namespace writes {

const std::string kStartMulgate = "ctl.start=mulgate";
const std::string kStopMulgate = "ctl.stop=mulgate";
const std::string kStartSprue = "ctl.start=sprue";
const std::string kStopSprue = "ctl.stop=sprue";

std::vector<std::string> stop()
{
    return {kStopSprue, kStopMulgate};
}

} // namespace writes

} // namespace sim::reactions
