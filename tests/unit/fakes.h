// In-process stand-ins for logd and the property service, bound at the
// daemon's own socket paths inside the test sandbox.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

struct LogEntry {
    int log_id = -1;
    int pid = 0;
    int tid = 0;
    std::uint32_t sec = 0;
    std::uint32_t nsec = 0;
    int prio = 0;
    std::string tag;
    std::string msg;
};

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;
    // Everything received so far, then forgotten.
    std::vector<LogEntry> take();
    std::vector<std::string> take_messages();

private:
    int fd_ = -1;
};

class FakePropertyService {
public:
    FakePropertyService();
    ~FakePropertyService();
    FakePropertyService(const FakePropertyService &) = delete;
    FakePropertyService &operator=(const FakePropertyService &) = delete;

    void set(const std::string &name, const std::string &value);
    std::vector<std::pair<std::string, std::string>> writes();
    std::vector<std::string> requests(); // raw bytes of every request
    // Called for every SET before the reply, under no lock of the service.
    std::function<void(const std::string &, const std::string &)> on_set;
    std::atomic<std::uint32_t> set_status{0};
    std::atomic<bool> silent{false}; // read requests but never answer

private:
    void serve();
    void handle(int fd);
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::map<std::string, std::string> props_;
    std::vector<std::pair<std::string, std::string>> writes_;
    std::vector<std::string> requests_;
    std::thread thread_;
};
