// Input from outside the daemon that is odd or malformed: sysfs contents,
// property values, uevent datagrams.
#include <csignal>
#include <random>
#include <thread>

#include "e2e.h"
#include "tests/unit/serial_counts.h"

namespace e2e {
namespace {

// The service the daemon just started runs; stop it again for the next case.
void stop_running_service(Device &d, const std::string &name)
{
    EXPECT_EQ(d.service(name).state, "running");
    d.setprop("ctl.stop", name);
    ASSERT_TRUE(d.wait_service_state(name, "stopped", 2s));
}

TEST(BadInput, OddSerialPortFiles)
{
    sim::Options o;
    o.serial_port_num = "0\n";
    Device d(o);
    size_t n = wait_line(d, msg::stop_service(), 0) + 1;
    n = expect_lines(d, n, start_lines(0));
    start_and_listen(d);
    EXPECT_EQ(daemon_writes(d), std::vector<std::string>{writes::kStopMulgate});

    struct Case {
        std::optional<std::string> bytes; // nullopt: the file is removed
        int count;                        // what the daemon makes of it
    };
    std::vector<Case> cases{{std::nullopt, 0}};
    for (const auto &c : kSerialCounts)
        cases.push_back({c.bytes, c.count});
    int starts = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE("serial_port_num " + (c.bytes ? e2e::quoted(*c.bytes) : "absent"));
        if (c.bytes)
            d.write_file(Device::kPortsFile, *c.bytes);
        else
            d.remove_file(Device::kPortsFile);
        d.set_usb_state("CONFIGURED");
        n = expect_lines(d, n, configured_lines(c.count));
        if (c.count != 0) {
            ++starts;
            stop_running_service(d, "mulgate");
        }
    }
    auto w = daemon_writes(d);
    EXPECT_EQ(std::count(w.begin(), w.end(), writes::kStartMulgate), starts);
    EXPECT_EQ(w.size(), size_t(starts) + 1);
    expect_no_more(d, n);
}

TEST(BadInput, OddEventLogSwitchValues)
{
    sim::Options o;
    o.usb_state = "DISCONNECTED\n";
    Device d(o);
    size_t n = wait_line(d, msg::switch_done(), 0) + 1;
    n = wait_line(d, msg::state_read("DISCONNECTED\n"), n) + 2;
    start_and_listen(d);

    struct Case {
        std::string value;
        std::string logged; // unset and empty read as the default "0"
        bool starts;
    };
    const std::vector<Case> cases{{"1", "1", true},    {"  1", "  1", true},  {"1abc", "1abc", true},
                                  {"01", "01", true},  {"\t1", "\t1", true},  {"2", "2", false},
                                  {"", "0", false},    {"abc", "abc", false}, {"-1", "-1", false},
                                  {"11", "11", false}, {"a1", "a1", false}};
    int starts = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(reactions::kSwitch) + " " + e2e::quoted(c.value));
        d.setprop(reactions::kSwitch, c.value);
        d.unplug();
        n = expect_lines(d, n, disconnect_lines(c.logged, c.starts));
        if (c.starts) {
            ++starts;
            stop_running_service(d, "sprue");
        }
    }
    auto w = daemon_writes(d);
    EXPECT_EQ(std::count(w.begin(), w.end(), writes::kStartSprue), starts);
    EXPECT_EQ(std::count(w.begin(), w.end(), writes::kStopMulgate), long(cases.size()));
    expect_no_more(d, n);
}

TEST(BadInput, OddUeventDatagrams)
{
    sim::Options o;
    o.usb_state = "DISCONNECTED\n";
    Device d(o);
    size_t n = wait_line(d, msg::state_read("DISCONNECTED\n"), 0) + 2;
    start_and_listen(d);
    expect_no_more(d, n, 50ms);

    const std::string header = "change@" + std::string(Device::kUsbDevpath);
    using reactions::other_state_lines;
    auto fields = Device::uevent_datagram;
    // Datagrams the daemon must pass over without a word; each is followed by
    // a pause so that its small receive buffer never overflows.
    auto ignored = [&](const std::string &bytes) {
        d.send_uevent(bytes);
        std::this_thread::sleep_for(40ms);
    };

    // 2048 bytes without a zero byte: one field filling the whole buffer, logged cut to 1023 bytes.
    std::string full = "USB_STATE=CONNECTED" + std::string(2048 - 19, 'x');
    d.send_uevent(full);
    n = expect_lines(d, n,
                     {reactions::exact(msg::usb_status(full).substr(0, 1023)), reactions::exact(msg::other_event())});

    // Longer than the buffer: only its first 2048 bytes count, and there
    // "USB_STATE" is cut to "USB".
    ignored(std::string(2045, 'a') + fields({"USB_STATE=CONFIGURED"}));
    // Two USB_STATE fields: the first one decides.
    d.send_uevent(fields({header, "ACTION=change", "USB_STATE=CONNECTED", "USB_STATE=DISCONNECTED"}));
    n = expect_lines(d, n, other_state_lines("USB_STATE=CONNECTED"));
    d.send_uevent(fields({header, "USB_STATE_X=1"}));
    n = expect_lines(d, n, other_state_lines("USB_STATE_X=1"));
    // A '%' from outside reaches the log as it is, never as a format.
    d.send_uevent(fields({header, "USB_STATE=%d%s%n"}));
    n = expect_lines(d, n, other_state_lines("USB_STATE=%d%s%n"));
    d.send_uevent(fields({"", "", "USB_STATE=CONNECTED"}));
    n = expect_lines(d, n, other_state_lines("USB_STATE=CONNECTED"));

    ignored(fields({header}));
    ignored(std::string(1, '\0'));
    ignored(std::string(16, '\0'));
    ignored(fields({header, "ACTION=change", "usb_state=CONFIGURED", "SEQNUM=1"}));
    ignored(fields({header, "USB_STAT=CONFIGURED", "USB_STATE"}).substr(0, header.size() + 25));
    std::mt19937 rng(20241205);
    for (int k = 0; k < 5; ++k) {
        std::string junk(1 + rng() % 3000, '\0');
        for (auto &c : junk) {
            auto v = static_cast<char>(rng() % 256);
            c = v == 'U' ? 'u' : v; // so that no USB_STATE can appear
        }
        ignored(junk);
    }
    expect_no_more(d, n, 100ms);
    EXPECT_TRUE(daemon_writes(d).empty());

    // The daemon still answers a plain cable.
    d.plug();
    n = expect_lines(d, n, reactions::plug_lines());
    EXPECT_EQ(daemon_writes(d), std::vector<std::string>{writes::kStartMulgate});
    EXPECT_TRUE(d.daemon_status().running);
}

TEST(BadInput, UnreadableProcIsReportedOnBothChannelsAndSurvived)
{
    // Root without the DAC overrides, so that a /proc of mode 000 cannot be opened.
    sim::Options o;
    o.usb_state = "CONNECTED\n";
    o.daemon_without_dac = true;
    Device d(o);
    size_t n = wait_line(d, msg::state_read("CONNECTED\n"), 0) + 2;
    start_and_listen(d);
    d.hide_proc(true);

    d.unplug();
    n = expect_lines(d, n, disconnect_lines("0", false, false));
    d.signal_daemon(SIGUSR2);
    n = expect_lines(d, n, reactions::restart_lines({.proc_readable = false}));

    // The restart's lookup reports on standard output instead, buffered until the exit.
    EXPECT_EQ(d.daemon_status().out, "");
    d.signal_daemon(SIGTERM);
    auto ex = d.wait_daemon_exit(kReact);
    ASSERT_TRUE(ex);
    EXPECT_EQ(*ex, kExitZero) << ex->describe();
    EXPECT_EQ(d.daemon_status().out, msg::proc_unreadable_on_stdout());
}

} // namespace
} // namespace e2e
