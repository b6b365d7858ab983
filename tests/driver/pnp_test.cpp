// Plug and Play requests beside start and removal: capabilities, hardware
// identifiers from the device's hardware key, and what is passed down as it is.
#include <cstring>
#include <string>
#include <vector>

#include "tests/driver/driver_fixture.h"

namespace torvex_test {
namespace {

class PnpTest : public DriverTest {
public:
    void SetUp() override {
        DriverTest::SetUp();
        ASSERT_EQ(world->start(), STATUS_SUCCESS);
    }
    const host::BusDriver::Arrival& last_arrival() { return world->bus().arrivals().back(); }
};

// "MultiportDevice" chooses the identifier; without the value the query
// fails with the registry's status and goes no further.
TEST_F(PnpTest, TheHardwareIdentifierFollowsTheMultiportValue) {
    std::vector<std::u16string> ids;
    const std::uint64_t arrivals = world->bus().arrived();
    EXPECT_EQ(kernel().pnp().query_id(world->pdo(), BusQueryHardwareIDs, &ids), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(ids.empty());
    EXPECT_EQ(world->bus().arrived(), arrivals);

    kernel().registry().set_dword(world->pdo(), "MultiportDevice", 1);
    ASSERT_EQ(kernel().pnp().query_id(world->pdo(), BusQueryHardwareIDs, &ids), STATUS_SUCCESS);
    EXPECT_EQ(ids, std::vector<std::u16string>{u"*PNP0502"});
    EXPECT_EQ(last_arrival().minor, IRP_MN_QUERY_ID);

    kernel().registry().set_dword(world->pdo(), "MultiportDevice", 0);
    ASSERT_EQ(kernel().pnp().query_id(world->pdo(), BusQueryHardwareIDs, &ids), STATUS_SUCCESS);
    EXPECT_EQ(ids, std::vector<std::u16string>{u"*PNP0501"});

    // A value of one byte is read into the low byte of a zeroed word; one
    // longer than four bytes (up to eight) leaves the word at zero.
    kernel().registry().set_value(world->pdo(), PLUGPLAY_REGKEY_DEVICE, "MultiportDevice", REG_BINARY, {0x02});
    ASSERT_EQ(kernel().pnp().query_id(world->pdo(), BusQueryHardwareIDs, &ids), STATUS_SUCCESS);
    EXPECT_EQ(ids, std::vector<std::u16string>{u"*PNP0502"});
    kernel().registry().set_value(world->pdo(), PLUGPLAY_REGKEY_DEVICE, "MultiportDevice", REG_BINARY,
                                  {1, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_EQ(kernel().pnp().query_id(world->pdo(), BusQueryHardwareIDs, &ids), STATUS_SUCCESS);
    EXPECT_EQ(ids, std::vector<std::u16string>{u"*PNP0501"});
    // One longer than the driver's buffer holds fails the query with the
    // registry's status.
    kernel().registry().set_value(world->pdo(), PLUGPLAY_REGKEY_DEVICE, "MultiportDevice", REG_BINARY,
                                  std::vector<std::uint8_t>(9, 1));
    EXPECT_EQ(kernel().pnp().query_id(world->pdo(), BusQueryHardwareIDs, &ids), STATUS_BUFFER_OVERFLOW);

    kernel().registry().fail_open(world->pdo(), STATUS_ACCESS_DENIED);
    EXPECT_EQ(kernel().pnp().query_id(world->pdo(), BusQueryHardwareIDs, &ids), STATUS_ACCESS_DENIED);
}

// A list a driver above handed down with the query is kept: the identifier
// is appended to it.
TEST_F(PnpTest, AListHandedDownIsKept) {
    kernel().registry().set_dword(world->pdo(), "MultiportDevice", 0);
    const char16_t supplied[] = u"ABC\0XY\0";
    auto* list = static_cast<WCHAR*>(ExAllocatePoolWithTag(PagedPool, sizeof supplied, 'wolF'));
    std::memcpy(list, supplied, sizeof supplied);
    std::vector<std::u16string> ids;
    ASSERT_EQ(kernel().pnp().query_id(world->pdo(), BusQueryHardwareIDs, &ids, reinterpret_cast<ULONG_PTR>(list)),
              STATUS_SUCCESS);
    EXPECT_EQ(ids, (std::vector<std::u16string>{u"ABC", u"XY", u"*PNP0501"}));
    // Out of pool at any of the query's three allocations (the request, the
    // registry value, the list), it fails, and says why.
    for (std::uint64_t n = 1; n <= 3; ++n) {
        kernel().pool().fail_nth(n);
        EXPECT_EQ(kernel().pnp().query_id(world->pdo(), BusQueryHardwareIDs, &ids), STATUS_INSUFFICIENT_RESOURCES)
            << "allocation " << n;
        kernel().pool().clear_failures();
    }
}

// Capabilities go down and come back unchanged; other identifier queries and
// requests the driver does not handle reach the bus with the status they were
// sent with; the queries the driver agrees to reach it successful.
TEST_F(PnpTest, OtherRequestsGoDownAsTheyAre) {
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(kernel().pnp().query_capabilities(world->pdo(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SystemWake, PowerSystemSleeping3);
    EXPECT_EQ(last_arrival().minor, IRP_MN_QUERY_CAPABILITIES);
    // Without pool for its wait the query fails, and says why.
    kernel().pool().fail_tag(USB2SER_POOL_TAG);
    EXPECT_EQ(kernel().pnp().query_capabilities(world->pdo(), &caps), STATUS_INSUFFICIENT_RESOURCES);
    kernel().pool().clear_failures();

    std::vector<std::u16string> ids;
    kernel().pnp().query_id(world->pdo(), BusQueryCompatibleIDs, &ids);
    EXPECT_EQ(last_arrival().minor, IRP_MN_QUERY_ID);
    EXPECT_EQ(last_arrival().status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(last_arrival().information, 0u);
    kernel().pnp().send(world->pdo(), IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(last_arrival().status, STATUS_NOT_SUPPORTED);
    for (UCHAR minor : {UCHAR{IRP_MN_QUERY_STOP_DEVICE}, UCHAR{IRP_MN_CANCEL_STOP_DEVICE}, UCHAR{IRP_MN_QUERY_REMOVE_DEVICE},
                        UCHAR{IRP_MN_CANCEL_REMOVE_DEVICE}}) {
        kernel().pnp().send(world->pdo(), minor);
        EXPECT_EQ(last_arrival().minor, minor);
        EXPECT_EQ(last_arrival().status, STATUS_SUCCESS);
        EXPECT_EQ(last_arrival().information, 0u);
    }
    EXPECT_EQ(kernel().pnp().system_control(world->pdo()), STATUS_SUCCESS);
    EXPECT_EQ(last_arrival().major, IRP_MJ_SYSTEM_CONTROL);
}

}  // namespace
}  // namespace torvex_test
