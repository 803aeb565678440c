#include "fakes.h"

#include <cutils/properties.h>

#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <unistd.h>

namespace {

std::string u32(std::uint32_t v)
{
    return std::string(reinterpret_cast<const char *>(&v), 4);
}

std::string get(const char *name, const char *dflt)
{
    char v[PROPERTY_VALUE_MAX] = {};
    int n = property_get(name, v, dflt);
    EXPECT_EQ(n, static_cast<int>(strlen(v)));
    return v;
}

} // namespace

TEST(Properties, SpeakTheServiceWireFormat)
{
    FakePropertyService ps;
    EXPECT_EQ(property_set("ctl.start", "mulgate"), 0);
    ps.set("a.b", "hello");
    EXPECT_EQ(get("a.b", "x"), "hello");
    EXPECT_EQ(get("never.set", "dflt"), "dflt");
    EXPECT_EQ(get("never.set", nullptr), "");
    EXPECT_EQ(get("never.set", std::string(200, 'd').c_str()), std::string(91, 'd'));

    auto req = ps.requests();
    ASSERT_GE(req.size(), 2u);
    EXPECT_EQ(req[0], u32(0x00020001) + u32(9) + "ctl.start" + u32(7) + "mulgate");
    EXPECT_EQ(req[1], u32(0x00020002) + u32(3) + "a.b");

    const std::string max_value(91, 'v');
    EXPECT_EQ(property_set("p.max", max_value.c_str()), 0);
    EXPECT_EQ(get("p.max", ""), max_value);
    const auto before = ps.requests().size();
    EXPECT_EQ(property_set("p.max", std::string(92, 'v').c_str()), -1);
    EXPECT_EQ(ps.requests().size(), before) << "an overlong value must not reach the service";

    ps.set_status = 0x18;
    EXPECT_EQ(property_set("p.refused", "1"), -1);
}

TEST(Properties, AbsentOrSilentServiceNeverHangsACaller)
{
    unlink("/dev/socket/property_service");
    EXPECT_EQ(property_set("ctl.stop", "mulgate"), -1);
    EXPECT_EQ(get("init.svc.mulgate", "stopped"), "stopped");

    FakePropertyService ps;
    ps.silent = true;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(property_set("ctl.stop", "mulgate"), -1);
    EXPECT_EQ(get("init.svc.mulgate", "stopped"), "stopped");
    auto elapsed = std::chrono::steady_clock::now() - t0;
    EXPECT_LT(elapsed, std::chrono::milliseconds(3500));
    EXPECT_GE(elapsed, std::chrono::milliseconds(1900));
}
