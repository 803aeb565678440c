// The device's .rc parser: what each line it honours gives init, and the
// file and line of each it refuses.
#include <gtest/gtest.h>

#include "rooms/rc.h"
#include "sim/device.h"

namespace {

using sim::detail::parse_rc;
using sim::detail::RcScript;

RcScript parsed(const std::string &text)
{
    RcScript rc;
    parse_rc("x.rc", text, rc);
    return rc;
}

TEST(Rc, AServiceAndATriggerAsInitReadsThem)
{
    const RcScript rc = parsed("# drovik\n"
                               "on property:init.svc.drovik=stopped\n"
                               "    stop mulgate # a comment\n"
                               "    setprop sys.x 1\n"
                               "\n"
                               "service drovik /system_ext/bin/drovik --flag\n"
                               "    class late_start main\n"
                               "    user nobody\n"
                               "    group readproc log 2000\n"
                               "    capabilities KILL NET_ADMIN\n"
                               "    disabled\n"
                               "    oneshot\n"
                               "    gentle_kill\n"
                               "service plain /bin/plain\n");
    ASSERT_EQ(rc.services.size(), 2u);
    const auto &s = rc.services[0];
    EXPECT_EQ(s.name, "drovik");
    EXPECT_EQ(s.argv, (std::vector<std::string>{"/system_ext/bin/drovik", "--flag"}));
    EXPECT_EQ(s.classes, (std::vector<std::string>{"late_start", "main"}));
    EXPECT_EQ(s.cred.uid, 9999u);
    EXPECT_EQ(s.cred.gid, 3009u) << "the first group is the primary gid";
    EXPECT_EQ(s.cred.groups, (std::vector<gid_t>{1007, 2000}));
    EXPECT_EQ(s.cred.capabilities, std::optional<uint64_t>((1u << 5) | (1u << 12)));
    EXPECT_TRUE(s.disabled && s.oneshot && s.gentle_kill);
    EXPECT_EQ(s.where, "x.rc:6");
    const auto &p = rc.services[1];
    EXPECT_EQ(p.classes, std::vector<std::string>{"default"});
    EXPECT_EQ(p.cred.uid, 0u);
    EXPECT_FALSE(p.cred.capabilities);
    EXPECT_FALSE(p.disabled || p.oneshot || p.gentle_kill);

    ASSERT_EQ(rc.actions.size(), 1u);
    const auto &a = rc.actions[0];
    EXPECT_TRUE(a.matches("init.svc.drovik", "stopped"));
    EXPECT_FALSE(a.matches("init.svc.drovik", "stopping"));
    ASSERT_EQ(a.commands.size(), 2u);
    EXPECT_EQ(a.commands[0].verb, "stop");
    EXPECT_EQ(a.commands[0].args, std::vector<std::string>{"mulgate"});
    EXPECT_EQ(a.commands[1].args, (std::vector<std::string>{"sys.x", "1"}));
    EXPECT_TRUE(parsed("on property:a=*\n").actions[0].matches("a", "anything"));
}

TEST(Rc, WhatTheDeviceDoesNotHonourNamesItsFileAndLine)
{
    const std::pair<const char *, const char *> refused[] = {
        {"service a /a\n    critical\n", "x.rc:2: service option 'critical' is not honoured by this device"},
        {"service a /a\n    user nobody system\n", "x.rc:2: 'user' takes 1 argument"},
        {"service a /a\n    user someone\n", "x.rc:2: unknown user or group 'someone'"},
        {"service a /a\n    capabilities KILLS\n", "x.rc:2: unknown capability 'KILLS'"},
        {"service a /a\n    disabled now\n", "x.rc:2: 'disabled' takes 0 arguments"},
        {"service a /a\nservice a /b\n", "x.rc:2: service 'a' is defined twice"},
        {"service a\n", "x.rc:1: 'service' takes 2 or more arguments"},
        {"on boot\n    start a\n", "x.rc:1: trigger 'boot' is not honoured by this device"},
        {"on property:a=1 && property:b=2\n", "x.rc:1: 'on' takes 1 argument"},
        {"on property:a=1\n    restart a\n", "x.rc:2: command 'restart' is not honoured by this device"},
        {"on property:a=1\n    setprop a\n", "x.rc:2: 'setprop' takes 2 arguments"},
        {"    user nobody\n", "x.rc:1: 'user' outside a section"},
        {"import /x.rc\n", "x.rc:1: 'import' is not honoured by this device"},
        {"service a /a \"b c\"\n", "x.rc:1: quotes, escapes and expansions are not honoured"},
    };
    for (auto &[text, why] : refused) {
        try {
            parsed(text);
            ADD_FAILURE() << "taken: " << text;
        } catch (const sim::Error &e) {
            EXPECT_EQ(std::string(e.what()).rfind(why, 0), 0u) << text << "\n  gave: " << e.what();
        }
    }
}

} // namespace
