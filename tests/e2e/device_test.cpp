// The simulated device itself, before any daemon: what the daemon relies on.
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "e2e.h"

namespace e2e {
namespace {

constexpr uint32_t kSet = 0x00020001;
constexpr uint32_t kGet = 0x00020002;

std::string u32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string set_msg(const std::string& n, const std::string& v) {
  return u32(kSet) + u32(uint32_t(n.size())) + n + u32(uint32_t(v.size())) + v;
}
std::string get_msg(const std::string& n) { return u32(kGet) + u32(uint32_t(n.size())) + n; }

// One connection to the device's property service from outside: sends the
// bytes, then reads everything until the service closes.
std::string prop_call(Device& d, const std::string& bytes) {
  int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string path = d.host_path("/dev/socket/property_service");
  strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << strerror(errno);
  EXPECT_EQ(send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size()));
  shutdown(s, SHUT_WR);
  std::string out;
  char buf[512];
  for (ssize_t n; (n = read(s, buf, sizeof buf)) > 0;) out.append(buf, size_t(n));
  close(s);
  return out;
}

uint32_t status_of(const std::string& reply) {
  EXPECT_EQ(reply.size(), 4u);
  uint32_t v = 0xffffffff;
  if (reply.size() == 4) memcpy(&v, reply.data(), 4);
  return v;
}

TEST(Device, PropertyServiceSpeaksTheWireProtocol) {
  Device d(quiet_device());
  EXPECT_EQ(status_of(prop_call(d, set_msg("sys.a", "v1"))), 0u);
  EXPECT_EQ(prop_call(d, get_msg("sys.a")), u32(2) + "v1");
  EXPECT_EQ(prop_call(d, get_msg("sys.never.set")), u32(0)) << "unset reads L=0 and nothing more";

  std::string v91(91, 'x'), v92(92, 'y');
  EXPECT_EQ(status_of(prop_call(d, set_msg("sys.long", v91))), 0u);
  EXPECT_EQ(prop_call(d, get_msg("sys.long")), u32(91) + v91);
  EXPECT_NE(status_of(prop_call(d, set_msg("sys.long", v92))), 0u) << "92 bytes exceed PROP_VALUE_MAX";
  EXPECT_EQ(prop_call(d, get_msg("sys.long")), u32(91) + v91) << "a refused write changes nothing";

  EXPECT_EQ(status_of(prop_call(d, set_msg("sys.a", ""))), 0u);
  EXPECT_EQ(prop_call(d, get_msg("sys.a")), u32(0));
  EXPECT_EQ(d.getprop("sys.a"), std::optional<std::string>(""));

  // Bad requests get a failure or nothing, and the service goes on.
  EXPECT_NE(status_of(prop_call(d, u32(0x12345) + u32(0))), 0u);
  EXPECT_EQ(prop_call(d, u32(kSet) + u32(5) + "ab"), u32(1)) << "a cut-short SET is refused";
  EXPECT_NE(status_of(prop_call(d, set_msg("", "x"))), 0u);
  EXPECT_NE(status_of(prop_call(d, set_msg("ctl.start", "nosuchservice"))), 0u);

  // ctl.* act on services and are not stored; the rest is.
  EXPECT_EQ(status_of(prop_call(d, set_msg("ctl.start", "sprue"))), 0u);
  EXPECT_EQ(d.getprop("ctl.start"), std::nullopt);
  EXPECT_EQ(d.getprop("init.svc.sprue"), std::optional<std::string>("running"));

  // Calls may overlap from several threads.
  std::vector<std::future<bool>> calls;
  for (int i = 0; i < 8; ++i)
    calls.push_back(std::async(std::launch::async, [&d, i] {
      std::string n = "sys.t" + std::to_string(i);
      for (int k = 0; k < 20; ++k)
        if (status_of(prop_call(d, set_msg(n, std::to_string(k)))) != 0) return false;
      return prop_call(d, get_msg(n)) == u32(2) + "19";
    }));
  for (auto& c : calls) EXPECT_TRUE(c.get());

  // A slow service, for callers that must not hang on it.
  d.set_property_delay(300ms);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(prop_call(d, get_msg("sys.a")), u32(0));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, 300ms);
  d.set_property_delay(0ms);

  // Every SET is recorded, refused ones included, in order and with its time.
  auto w = d.property_writes();
  ASSERT_GE(w.size(), 10u);
  EXPECT_EQ(w[0].name, "sys.a");
  EXPECT_EQ(w[0].value, "v1");
  EXPECT_EQ(w[2].value, v92);
  EXPECT_NE(w[2].status, 0u);
  for (size_t i = 1; i < w.size(); ++i) EXPECT_LE(w[i - 1].time.monotonic_ns, w[i].time.monotonic_ns);
  auto r = d.property_reads();
  ASSERT_GE(r.size(), 3u);
  EXPECT_EQ(r[1].name, "sys.never.set");
  EXPECT_EQ(r[1].value, "");
}

TEST(Device, PersistentPropertiesSurviveAReboot) {
  char tmpl[] = "/tmp/drovik-e2e.XXXXXX";
  ASSERT_TRUE(mkdtemp(tmpl));
  std::string dir = tmpl;
  sim::Options o = quiet_device();
  o.persist_file = dir + "/sub/persist.props";
  {
    Device d(o);
    EXPECT_EQ(d.getprop("persist.sys.v3.sprue.state"), std::nullopt);
    d.setprop("persist.sys.v3.sprue.state", "1");
    d.setprop("persist.odd", "a\nb=c\\d\x01\r");
    d.setprop("sys.volatile", "gone");
    d.reboot();
    EXPECT_EQ(d.getprop("persist.sys.v3.sprue.state"), std::optional<std::string>("1"));
    EXPECT_EQ(d.getprop("persist.odd"), std::optional<std::string>("a\nb=c\\d\x01\r"));
    EXPECT_EQ(d.getprop("sys.volatile"), std::nullopt);
    d.setprop("persist.sys.v3.sprue.state", "0");
  }
  Device again(o);
  EXPECT_EQ(again.getprop("persist.sys.v3.sprue.state"), std::optional<std::string>("0"));
  std::ifstream f(o.persist_file);
  std::stringstream text;
  text << f.rdbuf();
  EXPECT_NE(text.str().find("persist.sys.v3.sprue.state=0\n"), std::string::npos) << text.str();
  std::filesystem::remove_all(dir);
}

TEST(Device, ServicesFollowCtlStartAndCtlStop) {
  sim::Options o = quiet_device();
  o.services["sprue"].ignore_sigterm = true;
  Device d(o);
  EXPECT_EQ(d.getprop("init.svc.mulgate"), std::nullopt) << "never started: unset";

  d.setprop("ctl.stop", "mulgate");
  EXPECT_EQ(d.getprop("init.svc.mulgate"), std::nullopt) << "stopping what never ran changes nothing";

  d.setprop("ctl.start", "mulgate");
  EXPECT_EQ(d.getprop("init.svc.mulgate"), std::optional<std::string>("running")) << "set before the reply";
  pid_t pid = d.service("mulgate").pid;
  ASSERT_GT(pid, 1);
  bool found = false;
  for (auto& p : d.ps())
    if (p.pid == pid) found = p.name == "mulgate" && p.ppid == 1;
  EXPECT_TRUE(found) << "a process named mulgate, child of init";
  d.setprop("ctl.start", "mulgate");
  EXPECT_EQ(d.service("mulgate").pid, pid) << "starting a running service changes nothing";

  d.setprop("ctl.stop", "mulgate");
  EXPECT_TRUE(d.wait_service_state("mulgate", "stopped", 900ms)) << "SIGTERM ends it within the grace period";
  EXPECT_TRUE(d.pids_named("mulgate").empty());
  d.setprop("ctl.stop", "mulgate");

  // A stand-in that ignores SIGTERM is killed once the grace period of 1 s is over.
  d.setprop("ctl.start", "sprue");
  auto t0 = std::chrono::steady_clock::now();
  d.setprop("ctl.stop", "sprue");
  EXPECT_TRUE(d.wait_service_state("sprue", "stopped", 3s));
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 950ms);
  EXPECT_LE(took, 1600ms);

  std::vector<std::string> seen;
  for (auto& e : d.service_events()) seen.push_back(e.service + ":" + e.state);
  EXPECT_EQ(seen, (std::vector<std::string>{"mulgate:running", "mulgate:stopping", "mulgate:stopped",
                                            "sprue:running", "sprue:stopping", "sprue:stopped"}));
}

TEST(Device, AServiceThatEndsByItselfIsRestarted) {
  Device d(quiet_device());
  d.setprop("ctl.start", "mulgate");
  pid_t first = d.service("mulgate").pid;
  d.kill(first, SIGKILL);
  EXPECT_TRUE(d.wait_service_state("mulgate", "restarting", 1s));
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(d.wait_service_state("mulgate", "running", 3s));
  auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 850ms);
  EXPECT_LE(took, 1500ms);
  pid_t second = d.service("mulgate").pid;
  EXPECT_NE(second, first);
  EXPECT_EQ(d.pids_named("mulgate"), std::vector<pid_t>{second});

  // A ctl.stop while it waits to restart cancels the restart.
  d.kill(second, SIGTERM);
  EXPECT_TRUE(d.wait_service_state("mulgate", "restarting", 1s));
  d.setprop("ctl.stop", "mulgate");
  EXPECT_EQ(d.service("mulgate").state, "stopped");
  std::this_thread::sleep_for(1300ms);
  EXPECT_EQ(d.service("mulgate").state, "stopped");
  EXPECT_TRUE(d.pids_named("mulgate").empty());

  // A oneshot service reads stopped when it ends.
  d.set_service_options("sprue", {.ignore_sigterm = false, .oneshot = true});
  d.setprop("ctl.start", "sprue");
  d.kill(d.service("sprue").pid, SIGKILL);
  EXPECT_TRUE(d.wait_service_state("sprue", "stopped", 1s));
}

std::string unhex(const std::string& h) {
  std::string o;
  for (size_t i = 0; i + 1 < h.size(); i += 2) o += static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16));
  return o;
}

TEST(Device, UeventsReachListenersInItsNetworkNamespace) {
  sim::Options o = quiet_device();
  o.usb_state = "DISCONNECTED\n";
  Device d(o);
  pid_t l = d.start_job(helper({"uevent-listen"}));
  ASSERT_TRUE(Device::wait_until([&] { return d.job(l).out.find("ready\n") == 0; }, 5s));
  d.plug();
  std::string odd(2048, 'U');
  d.send_uevent(odd);
  d.send_uevent("sim-test-end");
  auto j = d.wait_job(l, 5s);
  ASSERT_TRUE(j);
  EXPECT_EQ(j->exit, (sim::ExitStatus{true, 0, 0})) << j->out << j->err;

  std::vector<std::string> got;
  std::istringstream lines(j->out.substr(6));
  for (std::string h; std::getline(lines, h);) got.push_back(unhex(h));
  auto has = [&](const std::string& want) { return std::find(got.begin(), got.end(), want) != got.end(); };
  std::string connected = Device::usb_uevent("CONNECTED", 2000), configured = Device::usb_uevent("CONFIGURED", 2001);
  EXPECT_EQ(connected.substr(0, 59), std::string("change@/devices/virtual/android_usb/android0\0ACTION=change\0", 59));
  EXPECT_TRUE(has(connected));
  EXPECT_TRUE(has(configured));
  EXPECT_TRUE(has(odd));
  EXPECT_EQ(d.read_file(Device::kStateFile), std::optional<std::string>("CONFIGURED\n"));

  d.unplug();
  EXPECT_EQ(d.read_file(Device::kStateFile), std::optional<std::string>("DISCONNECTED\n"));
  EXPECT_TRUE(Device::wait_until(
      [&] {
        auto u = d.uevents();
        return !u.empty() && u.back().bytes == Device::usb_uevent("DISCONNECTED", 2002);
      },
      2s));
  d.set_ports(3);
  EXPECT_EQ(d.read_file(Device::kPortsFile), std::optional<std::string>("3\n"));
  d.remove_file(Device::kPortsFile);
  EXPECT_EQ(d.read_file(Device::kPortsFile), std::nullopt);
}

TEST(Device, LogdKeepsEveryEntryWithTheSendersCredentials) {
  Device d(quiet_device());
  auto j = d.run(helper({"log-send"}));
  ASSERT_EQ(j.exit, (sim::ExitStatus{true, 0, 0})) << j.out << j.err;
  int pid = 0, tid = 0;
  unsigned sec = 0, nsec = 0;
  ASSERT_EQ(sscanf(j.out.c_str(), "%d %d %u %u", &pid, &tid, &sec, &nsec), 4) << j.out;
  EXPECT_EQ(pid, j.pid) << "the pid inside the device";
  ASSERT_TRUE(Device::wait_until([&] { return d.log().size() >= 3; }, 2s));
  const auto& l = d.log();
  ASSERT_EQ(l.size(), 3u);
  EXPECT_TRUE(l[0].well_formed);
  EXPECT_EQ(l[0].pid, pid);
  EXPECT_EQ(l[0].tid, tid);
  EXPECT_EQ(l[0].sec, sec);
  EXPECT_EQ(l[0].nsec, nsec);
  EXPECT_EQ(l[0].priority, 3);
  EXPECT_EQ(l[0].tag, "MULGATE");
  EXPECT_EQ(l[0].message, "first line\nsecond line\n");
  EXPECT_EQ(l[1].priority, 6);
  EXPECT_EQ(l[1].message, "%d literal");
  EXPECT_FALSE(l[2].well_formed) << "a cut-short datagram is kept, marked";
  EXPECT_EQ(l[2].raw, std::string("\0\1\2", 3));
  EXPECT_GE(l[0].received.monotonic_ns, j.started.monotonic_ns);

  // A burst must not find logd's queue full.
  auto b = d.run(helper({"log-burst", "2000"}));
  EXPECT_EQ(b.out, "0\n");
  EXPECT_TRUE(Device::wait_until([&] { return d.log().size() == 2003; }, 5s));
}

TEST(Device, PrintsEntriesAsLogcatThreadtime) {
  const char* tz = getenv("TZ");
  std::string old = tz ? tz : "";
  setenv("TZ", "UTC", 1);
  tzset();
  std::string head("\0\x1e\x09\xbe\x00\x52\x67\x15\xcd\x5b\x07\x03", 12);
  sim::LogEntry e = sim::parse_log_datagram(head + "MULGATE" + '\0' + "\n    drovik, version 1.0.0\n    tail\n" + '\0');
  e.pid = 2365;
  EXPECT_TRUE(e.well_formed);
  EXPECT_EQ(e.tid, 2334);
  EXPECT_EQ(sim::threadtime(e),
            "12-05 19:36:30.123  2365  2334 D MULGATE : \n"
            "12-05 19:36:30.123  2365  2334 D MULGATE :     drovik, version 1.0.0\n"
            "12-05 19:36:30.123  2365  2334 D MULGATE :     tail\n");
  e.message = "no line feed";
  e.priority = 6;
  e.tag = "T";
  EXPECT_EQ(sim::threadtime(e), "12-05 19:36:30.123  2365  2334 E T       : no line feed\n");
  if (tz)
    setenv("TZ", old.c_str(), 1);
  else
    unsetenv("TZ");
  tzset();
}

TEST(Device, DevicesAreIndependentAndLeaveNothingBehind) {
  std::vector<pid_t> inits;
  {
    Device a(quiet_device()), b(quiet_device());
    a.setprop("sys.only.a", "1");
    a.setprop("ctl.start", "mulgate");
    EXPECT_EQ(b.getprop("sys.only.a"), std::nullopt);
    EXPECT_EQ(b.getprop("init.svc.mulgate"), std::nullopt);
    EXPECT_EQ(a.ps().front().pid, 1);
    EXPECT_EQ(a.ps().front().name, "init");
    EXPECT_TRUE(b.pids_named("mulgate").empty());
    inits = {a.init_host_pid(), b.init_host_pid()};
    // The host keeps its own /dev and /sys/class.
    struct stat st;
    EXPECT_NE(stat("/dev/socket/property_service", &st), 0);
    EXPECT_NE(stat("/sys/class/android_usb", &st), 0);
  }
  for (pid_t p : inits) EXPECT_EQ(kill(p, 0), -1) << "init " << p << " still exists";
}

}  // namespace
}  // namespace e2e
