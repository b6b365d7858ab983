// What the registry and the configuration manager hold and answer: "PORTNAME"
// of any type, length and content (no terminator, no digits, huge numbers),
// "MultiportDevice" of any type and size, a hardware key that cannot be
// opened, and configuration manager services answering with any CONFIGRET.
// Through a start, the identifier query, an open and a close, a stop and a
// start again, and the removal: no crash, no bug check, no read or write
// outside a buffer or the port table, a started port reachable at the number
// it is bound under, and nothing left behind.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/usb2ser.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/fuzz_world.h"

namespace {

using torvex_fuzz::finding;

// The node identifier the driver makes for the default adapter.
const char kNodeId[] = "USBPorts\\VID_4A54&PID_0B1D\\0000";
const int kServices[] = {CONFIGMG_SERVICE_LOCATE_DEVNODE,      CONFIGMG_SERVICE_CREATE_DEVNODE,
                         CONFIGMG_SERVICE_REMOVE_SUBTREE,      CONFIGMG_SERVICE_REGISTER_ENUMERATOR,
                         CONFIGMG_SERVICE_ADD_EMPTY_LOG_CONF,  CONFIGMG_SERVICE_ADD_RES_DES,
                         CONFIGMG_SERVICE_READ_REGISTRY_VALUE};
const ULONG kTypes[] = {REG_SZ, REG_BINARY, REG_DWORD, REG_MULTI_SZ};

std::vector<std::uint8_t> bytes(torvex_fuzz::Reader& in) {
    std::vector<std::uint8_t> out(in.byte());
    for (std::uint8_t& b : out) b = in.byte();
    return out;
}

// A started port is reachable at the number it is bound under.
void check_bound(sim::World& world) {
    const LONG port = world.extension()->BoundPort;
    if (port < 0 || port >= USB2SER_MAX_PORTS) finding("bound outside the port table: " + std::to_string(port));
    if (gDevObj[port] != world.fdo()) finding("the port table does not hold the device at " + std::to_string(port));
}

}  // namespace

// The input: PORTNAME's presence and type, its length and bytes;
// MultiportDevice's the same; the hardware key's open failing or not; then up
// to three configuration manager failures (service, CONFIGRET, times).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    torvex_fuzz::Reader in{data, size};
    std::string left;
    {
        sim::World world;
        host::Kernel& kernel = world.kernel();
        const std::uint8_t port_name = in.byte();
        std::vector<std::uint8_t> name = bytes(in);
        if (port_name % 5 != 0) {
            kernel.configmg().assign_port_value(kNodeId, host::ConfigManager::Value{kTypes[port_name % 4], name});
        }
        const std::uint8_t multiport = in.byte();
        std::vector<std::uint8_t> value = bytes(in);
        if (multiport % 5 != 0) {
            kernel.registry().set_value(world.pdo(), PLUGPLAY_REGKEY_DEVICE, "MultiportDevice", kTypes[multiport % 4],
                                        value);
        }
        if (in.byte() % 8 == 0) kernel.registry().fail_open(world.pdo(), STATUS_ACCESS_DENIED);
        for (int n = in.byte() % 4; n > 0; --n) {
            const int service = kServices[in.byte() % (sizeof kServices / sizeof kServices[0])];
            const CONFIGRET result = in.byte() % 0x40;
            kernel.configmg().fail(service, result, 1 + in.byte() % 3);
        }

        if (NT_SUCCESS(world.start())) {
            check_bound(world);
            std::vector<std::u16string> ids;
            kernel.pnp().query_id(world.pdo(), BusQueryHardwareIDs, &ids);
            sim::Serport serport(world.port());
            sim::Serport::register_callbacks();
            serport.open();
            serport.close();
            world.stop();
            if (NT_SUCCESS(world.start())) check_bound(world);
        }
        left = world.teardown();
    }
    if (!left.empty()) finding("the session left this behind:\n" + left);
    return 0;
}
