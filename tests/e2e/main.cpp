// The end-to-end test program. Run with "--device-helper MODE ..." it is
// instead a small helper that the tests start inside a device, where the
// test process itself cannot reach (its sockets and PID namespace).
#include <dirent.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "e2e.h"

namespace e2e {

const std::string& self_exe() {
  static const std::string path = [] {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
  }();
  return path;
}

std::vector<std::string> helper(std::vector<std::string> args) {
  args.insert(args.begin(), {self_exe(), "--device-helper"});
  return args;
}

}  // namespace e2e

namespace {

std::string hex(const char* p, size_t n) {
  std::string o;
  char b[3];
  for (size_t i = 0; i < n; ++i) {
    snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(p[i]));
    o += b;
  }
  return o;
}

int logd_socket() {
  int s = socket(AF_UNIX, SOCK_DGRAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  strcpy(a.sun_path, "/dev/socket/logdw");
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    printf("connect: %d\n", errno);
    exit(1);
  }
  return s;
}

std::string datagram(uint8_t prio, uint16_t tid, uint32_t sec, uint32_t nsec, const std::string& tag,
                     const std::string& msg) {
  std::string d(1, '\0');
  d.append(reinterpret_cast<const char*>(&tid), 2);
  d.append(reinterpret_cast<const char*>(&sec), 4);
  d.append(reinterpret_cast<const char*>(&nsec), 4);
  d.push_back(static_cast<char>(prio));
  d += tag;
  d.push_back('\0');
  d += msg;
  d.push_back('\0');
  return d;
}

// uevent-listen: prints "ready", then every datagram of group 1 in hex, one
// per line, until one reads "sim-test-end" or 5 s pass without any.
int uevent_listen() {
  int s = socket(AF_NETLINK, SOCK_DGRAM, NETLINK_KOBJECT_UEVENT);
  sockaddr_nl a{};
  a.nl_family = AF_NETLINK;
  a.nl_groups = 1;
  if (s < 0 || bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    printf("bind: %d\n", errno);
    return 1;
  }
  timeval tv{5, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  printf("ready\n");
  fflush(stdout);
  static char buf[65536];
  for (;;) {
    ssize_t n = recv(s, buf, sizeof buf, 0);
    if (n < 0) return 2;
    if (std::string(buf, static_cast<size_t>(n)) == "sim-test-end") return 0;
    printf("%s\n", hex(buf, static_cast<size_t>(n)).c_str());
    fflush(stdout);
  }
}

// log-send: sends three datagrams (two well formed, one cut short) and
// prints "pid tid sec nsec" as it used them.
int log_send() {
  int s = logd_socket();
  auto tid = static_cast<uint16_t>(syscall(SYS_gettid) & 0xffff);
  uint32_t sec = 1733427390, nsec = 123456789;
  std::string a = datagram(3, tid, sec, nsec, "MULGATE", "first line\nsecond line\n");
  std::string b = datagram(6, tid, sec, nsec, "T", "%d literal");
  std::string c("\0\1\2", 3);
  for (auto* d : {&a, &b, &c}) send(s, d->data(), d->size(), 0);
  printf("%d %d %u %u\n", getpid(), tid, sec, nsec);
  return 0;
}

// log-burst N: N datagrams as fast as possible without blocking; prints how
// many were refused.
int log_burst(int n) {
  int s = logd_socket();
  // Room on the sending side, so that only logd's queue can refuse.
  int size = 8 << 20;
  setsockopt(s, SOL_SOCKET, SO_SNDBUFFORCE, &size, sizeof size);
  int refused = 0;
  for (int i = 0; i < n; ++i) {
    std::string d = datagram(3, 1, 0, 0, "BURST", std::to_string(i));
    if (send(s, d.data(), d.size(), MSG_DONTWAIT) < 0) ++refused;
  }
  printf("%d\n", refused);
  return 0;
}

int run_helper(int argc, char** argv) {
  std::string mode = argc > 2 ? argv[2] : "";
  if (mode == "uevent-listen") return uevent_listen();
  if (mode == "log-send") return log_send();
  if (mode == "log-burst" && argc > 3) return log_burst(atoi(argv[3]));
  fprintf(stderr, "unknown helper mode '%s'\n", mode.c_str());
  return 64;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "--device-helper") return run_helper(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  bool listing = testing::GTEST_FLAG(list_tests);
  if (!listing && geteuid() != 0) {
    fprintf(stderr, "drovik_e2e: the end-to-end tests boot simulated devices in namespaces of their own\n"
                    "and must run as root\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}
