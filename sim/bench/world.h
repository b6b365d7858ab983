// The test bench: one call builds a world — kernel with a seed, USB bus,
// bridge chip, serial line, the driver loaded with DriverEntry and its device
// added — and teardown() takes it apart, reporting whatever was left behind.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/usb2ser.h"
#include "host/kernel/kernel.h"
#include "host/kernel/module.h"
#include "host/kernel/pnp_manager.h"
#include "host/usb/usb_bus.h"
#include "sim/chip/bridge_chip.h"
#include "sim/line/line.h"

namespace sim {

enum class LineKind { Loopback, Peer };

struct WorldOptions {
    std::uint64_t seed = 1;
    host::Strategy strategy = host::Strategy::Random;
    host::Platform platform = host::Platform::Win98SE;
    // One in so many of the driver's waits without a time-out answers the
    // platform's undocumented 0xFFFFFFFF (0: none); TORVEX_SPURIOUS_WAITS
    // overrides it, as the sweep does to turn it up.
    std::uint64_t spurious_waits = 64;
    ChipKind chip = ChipKind::Extended;
    int interfaces = 1;
    std::optional<ChipConfig> chip_config;  // instead of `chip` and `interfaces`
    LineKind line = LineKind::Loopback;
    host::UsbBus::Options bus{};
    bool add_device = true;
    // Loaded into the chip's EEPROM from address 0 before anything runs (at
    // most 256 bytes are taken).
    std::vector<std::uint8_t> eeprom;
    // The fault point that fails, by its number in the order the world
    // reaches them (host::FaultPoints); 0 for none. With `fault_unplugs` the
    // point is instead the moment the adapter is pulled out.
    std::uint64_t fault = 0;
    bool fault_unplugs = false;
    // The driver image to load (the 32-bit host runs the driver only from its
    // image; the 64-bit host links the driver and loads none).
    std::string image;
    // What the bus sees instead of the chip itself: a device made around it
    // (one that lies, for the fuzzer). Empty: the chip.
    std::function<std::unique_ptr<host::UsbDevice>(BridgeChip&)> wrap;
};

class World {
public:
    explicit World(const WorldOptions& options = {});
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    host::Kernel& kernel() { return *m_kernel; }
    // The driver module TORVEX.SYS, whose exports the port driver imports.
    const host::Module& module() const { return m_module; }
    host::UsbBus& bus() { return *m_bus; }
    BridgeChip& chip() { return *m_chip; }
    ScriptedPeer& peer() { return m_peer; }
    PDRIVER_OBJECT driver() const { return m_driver; }
    PDEVICE_OBJECT pdo() const { return m_pdo; }
    // The driver's device object on the chip's stack, or null before AddDevice
    // and after removal.
    PDEVICE_OBJECT fdo() const;
    PUSB2SER_EXTENSION extension() const;
    // The COM port number the device was bound to at its start.
    ULONG port() const { return static_cast<ULONG>(extension()->BoundPort); }

    NTSTATUS add_device();
    NTSTATUS start() { return m_kernel->pnp().start(m_pdo); }
    NTSTATUS stop() { return m_kernel->pnp().stop(m_pdo); }
    NTSTATUS remove();
    // The adapter is pulled out: its transfers fail as the bus sees it go,
    // then the removal request comes, and the bus deletes its physical device
    // object. plug() puts it (the same chip, powered up afresh) back in and
    // starts it: AddDevice, then the start with its queries.
    NTSTATUS unplug();
    NTSTATUS plug();
    // The adapter the bus has seen pulled out (pull_out_soon) gets its
    // removal, as unplug() gives it; false when there is none to finish.
    bool finish_pull_out();
    // The system sleeps (a query, then the set request, if the query
    // succeeded), and comes back to the working state. With the adapter
    // pulled out there is no device to send them to: STATUS_NO_SUCH_DEVICE.
    NTSTATUS sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
    NTSTATUS wake();
    bool plugged() const { return m_pdo != nullptr; }

    // Removes the device if it is still there, unloads the driver and ends
    // the bus. Returns what the world left behind; empty when clean.
    std::string teardown();
    // The fault points the world reached, its teardown included.
    std::uint64_t fault_points() const { return m_kernel ? m_kernel->faults().count() : m_fault_points; }
    // The digest of the kernel's trace, its teardown included: the same seed
    // and scenario give the same digest on the same host (sizes the 64-bit
    // and the 32-bit host record differ).
    std::uint64_t digest() const { return m_kernel ? m_kernel->trace().digest() : m_digest; }

private:
    host::Module m_module;
    std::unique_ptr<host::Kernel> m_kernel;
    std::unique_ptr<host::UsbBus> m_bus;
    std::unique_ptr<BridgeChip> m_chip;
    std::unique_ptr<host::UsbDevice> m_wrapper;  // plugged instead of the chip when given
    host::UsbDevice& device() { return m_wrapper ? *m_wrapper : *m_chip; }
    Loopback m_loopback;
    ScriptedPeer m_peer;
    PDRIVER_OBJECT m_driver = nullptr;
    PDEVICE_OBJECT m_pdo = nullptr;
    bool m_torn_down = false;
    std::uint64_t m_fault_points = 0;
    std::uint64_t m_digest = 0;
};

}  // namespace sim
