#include "persist.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "posix.h"
#include "sim/device.h"

namespace sim::detail {
namespace {

// A persist file line is name=value with the display escapes, so that any
// byte survives; an '=' inside either is escaped too.
std::string escape(std::string_view s)
{
    std::string o;
    for (char c : printable(s)) {
        if (c == '=') {
            o += "\\x3d";
        } else {
            o += c;
        }
    }
    return o;
}

std::string unescape(std::string_view s)
{
    std::string o;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 >= s.size()) {
            o += s[i];
            continue;
        }
        char c = s[++i];
        if (c == 'n') {
            o += '\n';
        } else if (c == 'r') {
            o += '\r';
        } else if (c == 'x' && i + 2 < s.size()) {
            std::string hex(s.substr(i + 1, 2));
            o += static_cast<char>(strtol(hex.c_str(), nullptr, 16));
            i += 2;
        } else {
            o += c;
        }
    }
    return o;
}

} // namespace

PersistStore::PersistStore(const std::string &file)
{
    if (file.empty())
        return;
    size_t slash = file.rfind('/');
    std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
    name_ = slash == std::string::npos ? file : file.substr(slash + 1);
    mkdir_p(dir);
    dir_ = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    must(dir_ >= 0, "open " + dir);
}

PersistStore::~PersistStore()
{
    if (dir_ >= 0)
        close(dir_);
}

std::map<std::string, std::string> PersistStore::load() const
{
    std::map<std::string, std::string> out;
    if (dir_ < 0)
        return out;
    auto text = read_file_at(dir_, name_);
    if (!text)
        return out;
    size_t pos = 0;
    while (pos < text->size()) {
        size_t nl = text->find('\n', pos);
        if (nl == std::string::npos)
            nl = text->size();
        std::string_view line(text->data() + pos, nl - pos);
        pos = nl + 1;
        size_t eq = line.find('=');
        if (line.empty() || line[0] == '#' || eq == std::string_view::npos)
            continue;
        std::string name = unescape(line.substr(0, eq));
        if (is_persistent(name))
            out[name] = unescape(line.substr(eq + 1));
    }
    return out;
}

void PersistStore::save(const std::map<std::string, std::string> &props) const
{
    if (dir_ < 0)
        return;
    std::string text = "# persist.* properties of a drovik-sim device\n";
    for (auto &[k, v] : props)
        if (is_persistent(k))
            text += escape(k) + "=" + escape(v) + "\n";
    // A whole new file renamed over the old one: a device killed mid-write
    // leaves the previous values, never half a file.
    std::string tmp = "." + name_ + ".tmp";
    int fd = openat(dir_, tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        fprintf(stderr, "sim-init: cannot write the persist file: %s\n", strerror(errno));
        return;
    }
    try {
        write_all(fd, text);
    } catch (const Error &e) {
        fprintf(stderr, "sim-init: %s\n", e.what());
    }
    close(fd);
    if (renameat(dir_, tmp.c_str(), dir_, name_.c_str()) != 0)
        fprintf(stderr, "sim-init: cannot replace the persist file: %s\n", strerror(errno));
}

} // namespace sim::detail
