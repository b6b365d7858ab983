// The test bench: one call builds a world — kernel with a seed, USB bus, one
// or more adapters (each a bridge chip with its serial line), the driver
// loaded with DriverEntry and a device added for each adapter — and
// teardown() takes it apart, reporting whatever was left behind.
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

// The most adapters the tools put in a world (`adapters N`, `--adapters N`).
constexpr int kMostAdapters = 16;

struct WorldOptions {
    std::uint64_t seed = 1;
    host::Strategy strategy = host::Strategy::Random;
    host::Platform platform = host::Platform::Win98SE;
    // One in so many of the driver's waits without a time-out answers the
    // platform's undocumented 0xFFFFFFFF (0: none); TORVEX_SPURIOUS_WAITS
    // overrides it, as the sweep does to turn it up.
    std::uint64_t spurious_waits = 64;
    // Adapters on the bus, alike: each its own chip, line and far end. The
    // first is the adapter of the calls that name none.
    int adapters = 1;
    // The class installer names each new port "COM3", "COM4", ...: the
    // lowest number no port of the registry holds. Off: a port has no
    // "PORTNAME" unless a test assigns one.
    bool class_installer = true;
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
    // point is instead the moment the first adapter still in is pulled out.
    std::uint64_t fault = 0;
    bool fault_unplugs = false;
    // The driver image to load (the 32-bit host runs the driver only from its
    // image; the 64-bit host links the driver and loads none).
    std::string image;
    // What the bus sees instead of each chip: a device made around it (one
    // that lies, for the fuzzer). Empty: the chip.
    std::function<std::unique_ptr<host::UsbDevice>(BridgeChip&)> wrap;
};

class World;

// One adapter on the world's bus: its chip, the far end of its cable, and the
// driver's device on it while it is plugged in.
class Adapter {
public:
    Adapter(World& world, const WorldOptions& options);
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    BridgeChip& chip() { return *m_chip; }
    ScriptedPeer& peer() { return m_peer; }
    PDEVICE_OBJECT pdo() const { return m_pdo; }
    // The driver's device object on the chip's stack, or null before AddDevice
    // and after removal.
    PDEVICE_OBJECT fdo() const;
    PUSB2SER_EXTENSION extension() const;
    // The COM port number the device was bound to at its start.
    ULONG port() const { return static_cast<ULONG>(extension()->BoundPort); }

    NTSTATUS add_device();
    NTSTATUS start();
    NTSTATUS stop();
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
    bool plugged() const { return m_pdo != nullptr; }

private:
    host::UsbDevice& device() { return m_wrapper ? *m_wrapper : *m_chip; }

    World& m_world;
    std::unique_ptr<BridgeChip> m_chip;
    std::unique_ptr<host::UsbDevice> m_wrapper;  // plugged instead of the chip when given
    Loopback m_loopback;
    ScriptedPeer m_peer;
    PDEVICE_OBJECT m_pdo = nullptr;
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
    PDRIVER_OBJECT driver() const { return m_driver; }

    // The adapters, numbered from 1; adapter(1) is the first.
    int adapters() const { return static_cast<int>(m_adapters.size()); }
    Adapter& adapter(int number) { return *m_adapters.at(static_cast<std::size_t>(number - 1)); }

    // The first adapter's, as a world of one adapter has them.
    BridgeChip& chip() { return first().chip(); }
    ScriptedPeer& peer() { return first().peer(); }
    PDEVICE_OBJECT pdo() const { return first().pdo(); }
    PDEVICE_OBJECT fdo() const { return first().fdo(); }
    PUSB2SER_EXTENSION extension() const { return first().extension(); }
    ULONG port() const { return first().port(); }
    NTSTATUS add_device() { return first().add_device(); }
    NTSTATUS start() { return first().start(); }
    NTSTATUS stop() { return first().stop(); }
    NTSTATUS remove() { return first().remove(); }
    NTSTATUS unplug() { return first().unplug(); }
    NTSTATUS plug() { return first().plug(); }
    bool plugged() const { return first().plugged(); }
    // Every adapter the bus has seen pulled out gets its removal; false when
    // there was none to finish.
    bool finish_pull_out();

    // The system sleeps (a query to every device, then the set request to
    // every device, if every query succeeded), and comes back to the working
    // state. With no adapter plugged in there is no device to send them to:
    // STATUS_NO_SUCH_DEVICE. The first failure is the answer.
    NTSTATUS sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
    NTSTATUS wake();

    // Removes the devices still there, unloads the driver and ends the bus.
    // Returns what the world left behind; empty when clean.
    std::string teardown();
    // The fault points the world reached, its teardown included.
    std::uint64_t fault_points() const { return m_kernel ? m_kernel->faults().count() : m_fault_points; }
    // The digest of the kernel's trace, its teardown included: the same seed
    // and scenario give the same digest on the same host (sizes the 64-bit
    // and the 32-bit host record differ).
    std::uint64_t digest() const { return m_kernel ? m_kernel->trace().digest() : m_digest; }

private:
    // The set request to every device plugged in, each whatever the others
    // answered.
    NTSTATUS set_system_power(SYSTEM_POWER_STATE state);
    const Adapter& first() const { return *m_adapters.front(); }
    Adapter& first() { return *m_adapters.front(); }

    host::Module m_module;
    std::unique_ptr<host::Kernel> m_kernel;
    std::unique_ptr<host::UsbBus> m_bus;
    std::vector<std::unique_ptr<Adapter>> m_adapters;
    PDRIVER_OBJECT m_driver = nullptr;
    bool m_torn_down = false;
    std::uint64_t m_fault_points = 0;
    std::uint64_t m_digest = 0;
};

}  // namespace sim
