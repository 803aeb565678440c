#include "commands.h"

namespace tool {

sim::Options tool_device(const Settings &s)
{
    sim::Options o;
    o.usb_state = "CONFIGURED\n";
    o.serial_port_num = "1\n";
    o.daemon_command = s.daemon;
    o.restart_delay = sim::kAndroidRestartDelay;
    if (!s.rc.empty())
        o.rc_files = sim::rc_files_with(s.rc);
    return o;
}

} // namespace tool
