#include "sim/bench/world.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "core/exports.h"
#include "host/kernel/image.h"
#include "sim/serport/serport.h"

#if !defined(TORVEX_IMAGE_HOST)
extern const char* const kDriverImports[];  // generated from the driver's objects
#endif

namespace sim {

namespace {

#if defined(TORVEX_IMAGE_HOST)
// This host runs the driver only from its image, mapped afresh for each
// world: its data starts as the image has it at every load.
host::Module driver_module(const WorldOptions& options) {
    if (options.image.empty()) host::bug_check(host::Check::ImageLoadFailed, "this host runs the driver from its image: none was given");
    std::string error;
    std::optional<host::Module> module = host::load_image(options.image, &error);
    if (!module) host::bug_check(host::Check::ImageLoadFailed, error);
    return *module;
}
#else
// The driver linked into this host. Its global tables are cleared before
// DriverEntry runs, as a freshly loaded image would have them.
host::Module driver_module(const WorldOptions& options) {
    if (!options.image.empty()) host::bug_check(host::Check::ImageLoadFailed, "this host links the driver: it loads no image");
    std::memset(gDevObj, 0, sizeof gDevObj);
    pSetMSRShadow = nullptr;
    pSetReadQueue = nullptr;
    pCableRemove = nullptr;
    pWriteOutQueue = nullptr;
    gExtBaudrateCnt = 0;
    gPortLookups = 0;
    std::memset(AvailExtBaudRate, 0, sizeof AvailExtBaudRate);
    return host::Module("TORVEX.SYS", DriverEntry, USB2SER_ExportTable, kDriverImports);
}
#endif

}  // namespace

Adapter::Adapter(World& world, const WorldOptions& options) : m_world(world) {
    m_chip = std::make_unique<BridgeChip>(options.chip_config ? *options.chip_config
                                                              : ChipConfig::of(options.chip, options.interfaces));
    if (options.line == LineKind::Loopback) {
        m_chip->connect(&m_loopback);
    } else {
        m_chip->connect(&m_peer);
    }
    std::copy_n(options.eeprom.begin(), std::min(options.eeprom.size(), m_chip->eeprom().size()),
                m_chip->eeprom().begin());
    if (options.wrap) m_wrapper = options.wrap(*m_chip);
    m_pdo = m_world.bus().plug(device());
}

PDEVICE_OBJECT Adapter::fdo() const {
    if (m_pdo == nullptr) return nullptr;
    PDEVICE_OBJECT above = m_pdo->AttachedDevice;
    return above != nullptr && above->DriverObject == m_world.driver() ? above : nullptr;
}

PUSB2SER_EXTENSION Adapter::extension() const {
    PDEVICE_OBJECT device = fdo();
    return device ? USB2SER_Extension(device) : nullptr;
}

NTSTATUS Adapter::add_device() { return m_world.kernel().pnp().add_device(m_world.driver(), m_pdo); }

NTSTATUS Adapter::start() { return m_world.kernel().pnp().start(m_pdo); }

NTSTATUS Adapter::stop() { return m_world.kernel().pnp().stop(m_pdo); }

NTSTATUS Adapter::remove() { return m_world.kernel().pnp().remove(m_pdo); }

NTSTATUS Adapter::unplug() {
    host::UsbBus& bus = m_world.bus();
    if (!bus.pulled(m_pdo)) bus.unplug(m_pdo);
    NTSTATUS status = m_world.kernel().pnp().remove_gone(m_pdo);
    bus.delete_pdo(m_pdo);
    m_pdo = nullptr;
    return status;
}

bool Adapter::finish_pull_out() {
    if (m_pdo == nullptr || !m_world.bus().pulled(m_pdo)) return false;
    unplug();
    return true;
}

NTSTATUS Adapter::plug() {
    m_pdo = m_world.bus().plug(device());
    NTSTATUS status = add_device();
    return NT_SUCCESS(status) ? start() : status;
}

World::World(const WorldOptions& options) : m_module(driver_module(options)) {
    m_kernel = std::make_unique<host::Kernel>(options.seed, options.strategy);
    m_kernel->set_platform(options.platform);
    m_kernel->configmg().set_class_installer(options.class_installer);
    const char* spurious = std::getenv("TORVEX_SPURIOUS_WAITS");
    m_kernel->set_spurious_waits(spurious != nullptr ? std::strtoull(spurious, nullptr, 10) : options.spurious_waits);
    m_bus = std::make_unique<host::UsbBus>(*m_kernel, options.bus);
    if (options.fault_unplugs) {
        m_kernel->faults().unplug_at(options.fault, [this] {
            for (auto& adapter : m_adapters) {
                if (adapter->plugged() && !m_bus->pulled(adapter->pdo())) {
                    m_bus->pull_out_soon(adapter->pdo());
                    return;
                }
            }
        });
    } else {
        m_kernel->faults().fail_at(options.fault);
    }
    for (int k = 0; k < std::max(options.adapters, 1); ++k) {
        m_adapters.push_back(std::make_unique<Adapter>(*this, options));
    }
    std::string error = m_module.check();
    if (error.empty()) error = m_module.link();
    if (error.empty()) error = Serport::bind(m_module);
    if (!error.empty()) host::bug_check(host::Check::ImageLoadFailed, error);
    m_driver = m_kernel->io().load_driver("TORVEX", m_module.entry());
    if (options.add_device) {
        for (auto& adapter : m_adapters) adapter->add_device();
    }
}

World::~World() { teardown(); }

bool World::finish_pull_out() {
    bool finished = false;
    for (auto& adapter : m_adapters) finished = adapter->finish_pull_out() || finished;
    return finished;
}

NTSTATUS World::sleep(SYSTEM_POWER_STATE state) {
    for (auto& adapter : m_adapters) {
        if (!adapter->plugged()) continue;
        const NTSTATUS queried = m_kernel->pnp().query_system_power(adapter->pdo(), state);
        if (!NT_SUCCESS(queried)) return queried;
    }
    return set_system_power(state);
}

NTSTATUS World::wake() { return set_system_power(PowerSystemWorking); }

NTSTATUS World::set_system_power(SYSTEM_POWER_STATE state) {
    std::optional<NTSTATUS> answer;
    for (auto& adapter : m_adapters) {
        if (!adapter->plugged()) continue;
        const NTSTATUS status = m_kernel->pnp().set_system_power(adapter->pdo(), state);
        if (!answer || NT_SUCCESS(*answer)) answer = status;
    }
    return answer.value_or(STATUS_NO_SUCH_DEVICE);
}

std::string World::teardown() {
    if (m_torn_down) return {};
    m_torn_down = true;
    std::string left;
    // A removal the stack vetoes (its query failed) ends with the adapter
    // pulled out, which nothing can veto.
    for (auto& adapter : m_adapters) {
        if (adapter->fdo() != nullptr && !NT_SUCCESS(adapter->remove())) adapter->unplug();
    }
    if (m_driver->DeviceObject != nullptr) {
        left += "the driver still has device objects after removal\n";
    } else {
        m_kernel->io().unload_driver(m_driver);
    }
    m_bus.reset();
    left += m_kernel->leaks();
    m_fault_points = m_kernel->faults().count();
    m_digest = m_kernel->trace().digest();
    m_kernel.reset();
    return left;
}

}  // namespace sim
