// `drovik-sim demo`: one walk through the daemon's life on a simulated device.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>

#include "tool.h"

namespace tool {
namespace {

using namespace std::chrono_literals;

// The demo's temporary persist directory, for the Ctrl-C handler: the device
// dies with this process (its keeper has a parent-death signal), the files
// are removed here.
char g_tmp_file[256], g_tmp_spare[256], g_tmp_dir[256];

void on_interrupt(int)
{
    unlink(g_tmp_file);
    unlink(g_tmp_spare);
    rmdir(g_tmp_dir);
    _exit(130);
}

class Demo {
public:
    Demo(sim::Device &d) : d_(d), v_(d) {}

    void step(const char *title)
    {
        printf("\n== %d. %s\n", ++n_, title);
        fflush(stdout);
    }
    void say(const std::string &text)
    {
        printf("   %s\n", text.c_str());
        fflush(stdout);
    }

    bool daemon_running() { return d_.daemon_pid() > 0 && d_.daemon_status().running; }

    // Waits for a log line containing one of the texts, or for the daemon to
    // end, at most `limit`; then lets the last lines of the burst arrive.
    bool await(std::initializer_list<const char *> texts, sim::Millis limit)
    {
        auto t0 = std::chrono::steady_clock::now();
        std::optional<size_t> hit;
        bool ended = false;
        sim::Device::wait_until(
            [&] {
                const auto &l = d_.log();
                for (; from_ < l.size() && !hit; ++from_)
                    for (const char *t : texts)
                        if (l[from_].message.find(t) != std::string::npos)
                            hit = from_;
                ended = !hit && !daemon_running();
                return hit || ended;
            },
            limit, 10ms);
        d_.wait_log_quiet(150ms, 1s);
        if (!hit && !ended) {
            auto s = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
            char text[96];
            snprintf(text, sizeof text, "(no such reaction from the daemon within %.1f s; going on)",
                     s.count() / 1000.0);
            say(text);
        }
        return hit.has_value();
    }

    // Lets services that are being stopped finish (the grace period is 1 s).
    void settle_services()
    {
        sim::Device::wait_until(
            [&] {
                for (auto &s : d_.services())
                    if (s.state == "stopping")
                        return false;
                return true;
            },
            2500ms, 20ms);
    }

    void show()
    {
        printf("   daemon log:\n");
        if (v_.show_log("     ") == 0)
            printf("     (no new lines)\n");
        v_.show_writes("   ");
        settle_services();
        v_.show_services("   ");
        v_.show_daemon_end("   ");
        fflush(stdout);
    }

    sim::Device &d_;
    Viewer v_;
    int n_ = 0;
    size_t from_ = 0;
};

} // namespace

int run_demo(const Settings &s)
{
    std::string persist = s.persist;
    std::string tmpdir;
    if (persist.empty()) {
        char tmpl[] = "/tmp/drovik-sim-demo.XXXXXX";
        if (!mkdtemp(tmpl)) {
            perror("drovik-sim: mkdtemp");
            return 1;
        }
        tmpdir = tmpl;
        persist = tmpdir + "/persist.props";
        snprintf(g_tmp_dir, sizeof g_tmp_dir, "%s", tmpdir.c_str());
        snprintf(g_tmp_file, sizeof g_tmp_file, "%s", persist.c_str());
        snprintf(g_tmp_spare, sizeof g_tmp_spare, "%s/.persist.props.tmp", tmpdir.c_str());
        struct sigaction sa {};
        sa.sa_handler = on_interrupt;
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }
    struct Cleanup {
        std::string dir;
        ~Cleanup()
        {
            if (!dir.empty()) {
                std::error_code ec;
                std::filesystem::remove_all(dir, ec);
            }
        }
    } cleanup{tmpdir};

    std::string cmd;
    for (auto &a : s.daemon)
        cmd += (cmd.empty() ? "" : " ") + a;
    printf("drovik-sim demo: a simulated Android device running the drovik daemon\n");
    printf("   daemon command: %s\n", cmd.c_str());
    printf("   persist.* properties kept in: %s%s\n", persist.c_str(), tmpdir.empty() ? "" : " (fresh for this demo)");

    sim::Options o;
    o.usb_state = "CONFIGURED\n";
    o.serial_port_num = "1\n";
    o.persist_file = persist;
    o.daemon_command = s.daemon;
    // Android's init waits about 5 s before it restarts a crashed service; a
    // restart request then sees its own SIGTERM end mulgate for good.
    o.restart_delay = 5s;
    o.start_daemon = false;
    sim::Device d(o);
    Demo demo(d);

    demo.step("Boot with the USB cable attached, then start the daemon");
    demo.say("The gadget's state file reads CONFIGURED and the serial function offers 1 port.");
    demo.say("drovik should announce itself, check the event-log switch (persist.sys.v3.sprue.state,");
    demo.say("unset, so 0), see the configured gadget, stop the modem-log service mulgate and start it.");
    pid_t pid = d.start_daemon();
    demo.say("daemon started, pid " + std::to_string(pid) + " inside the device");
    demo.await({"startService() return:", "usb_config_now not serial"}, 8s);
    demo.show();

    demo.step("Pull the USB cable out");
    demo.say("The state file now reads DISCONNECTED and the kernel announces USB_STATE=DISCONNECTED.");
    demo.say("drovik should stop mulgate; sprue does not run, but its switch is 0, so it stays off.");
    d.unplug();
    demo.await({"sprue_start_by_prop return:", "SPRUE is already running"}, 5s);
    demo.show();

    demo.step("Plug the cable back in");
    demo.say("The gadget goes CONNECTED (drovik only notes it), then CONFIGURED: mulgate starts again.");
    d.plug();
    demo.await({"startService() return:", "usb_config_now not serial"}, 6s);
    demo.show();

    demo.step("Turn the event-log switch on, then pull the cable out");
    demo.say("setprop persist.sys.v3.sprue.state 1 (kept in the persist file across boots).");
    d.setprop("persist.sys.v3.sprue.state", "1");
    demo.say("On the disconnect drovik stops mulgate and, finding no sprue process, starts sprue.");
    d.unplug();
    demo.await({"sprue_start_by_prop return:", "SPRUE is already running"}, 5s);
    demo.show();

    demo.step("Plug the cable in again, then ask for a restart of mulgate (SIGUSR2)");
    d.plug();
    demo.await({"startService() return:", "usb_config_now not serial"}, 6s);
    if (demo.daemon_running()) {
        demo.say("With mulgate running again, drovik should send it SIGTERM, give it 2 s to end, ask init");
        demo.say("to stop the service, wait 2 s and start it again (the cable state does not matter here).");
        d.signal_daemon(SIGUSR2);
        demo.await({"restart_service end."}, 10s);
    } else {
        demo.say("The daemon is not running any more; nothing to send the signal to.");
    }
    demo.show();

    demo.step("Stop the daemon (SIGTERM)");
    if (demo.daemon_running()) {
        demo.say("drovik should ask init to stop sprue and mulgate, end its USB thread and exit with status 0.");
        d.signal_daemon(SIGTERM);
        auto ex = d.wait_daemon_exit(5s);
        d.wait_log_quiet(150ms, 1s);
        if (!ex)
            demo.say("(the daemon is still running after 5 s; tearing the device down will end it)");
    } else {
        demo.say("The daemon is not running any more; nothing to stop.");
    }
    demo.show();

    demo.step("Tear the device down");
    d.shutdown();
    demo.say("All of the device's processes are gone. Done.");
    return 0;
}

} // namespace tool
