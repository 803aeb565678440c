// The persist store: where the property service keeps "persist.*" values
// across boots, as lines of name=value with the display escapes, so that any
// byte survives.
//
// Used by the property service alone, under its lock; it has no thread or
// lock of its own.
#pragma once

#include <map>
#include <string>

namespace sim::detail {

class PersistStore {
public:
    // An empty file name keeps nothing. The file's folder is made and held
    // open now, before the device mounts anything, so that the file stays
    // reachable whatever is mounted later.
    explicit PersistStore(const std::string &file);
    ~PersistStore();
    PersistStore(const PersistStore &) = delete;
    PersistStore &operator=(const PersistStore &) = delete;

    // The persist.* values of the file (none when there is no file).
    std::map<std::string, std::string> load() const;
    // Replaces the file with the persist.* values among props. A failure is
    // told on init's stderr: the write that caused it has been made anyway.
    void save(const std::map<std::string, std::string> &props) const;

    static bool is_persistent(const std::string &name) { return name.rfind("persist.", 0) == 0; }

private:
    int dir_ = -1;
    std::string name_;
};

} // namespace sim::detail
