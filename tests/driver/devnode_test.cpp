// The port's configuration-manager device node, its I/O requirement, and the
// COM port number that binds the device into gDevObj.
#include <cstring>
#include <string>

#include "legacy/devnode.h"
#include "tests/driver/driver_fixture.h"

namespace torvex_test {
namespace {

const char kFirstId[] = "USBPorts\\VID_4A54&PID_0B1D\\0000";

class DevNodeTest : public DriverTest {
public:
    host::ConfigManager& cm() { return kernel().configmg(); }
    std::size_t nodes() { return cm().nodes().size(); }
};

TEST_F(DevNodeTest, TheNodeCarriesTheIdentifierAndTheSeventyTwoByteIoRequirement) {
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    const host::ConfigManager::Node* node = cm().find(kFirstId);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->parent, cm().root());
    EXPECT_EQ(ext()->DevNode, node->handle);
    EXPECT_EQ(node->enumerator, EnumHandler);
    EXPECT_EQ(node->enumerator_flags, 1u);
    ASSERT_EQ(node->configurations.size(), 1u);
    EXPECT_EQ(node->configurations[0].priority, 0x3000u);
    EXPECT_EQ(node->configurations[0].flags, 0u);
    ASSERT_EQ(node->configurations[0].resources.size(), 1u);
    const auto& resource = node->configurations[0].resources[0];
    EXPECT_EQ(resource.type, 2u);
    const std::vector<std::uint8_t> expected = {
        5, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0,                                        // IO_DES
        0xFF, 0xFF, 8, 0, 0xF8, 0x03, 0xFF, 0x03, 0, 0, 0xFF, 0xFF,                 // COM1
        0xFF, 0xFF, 8, 0, 0xF8, 0x02, 0xFF, 0x02, 0, 0, 0xFF, 0xFF,                 // COM2
        0xFF, 0xFF, 8, 0, 0xE8, 0x03, 0xEF, 0x03, 0, 0, 0xFF, 0xFF,                 // COM3
        0xFF, 0xFF, 8, 0, 0xE8, 0x02, 0xEF, 0x02, 0, 0, 0xFF, 0xFF,                 // COM4
        0xFF, 0xFF, 8, 0, 0x00, 0x00, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF,                 // any
    };
    EXPECT_EQ(resource.data, expected);
}

TEST_F(DevNodeTest, TheInstanceSuffixIsTheInstanceNumberLessOne) {
    ext()->InstanceNumber = 12;
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_NE(cm().find("USBPorts\\VID_4A54&PID_0B1D\\0011"), nullptr);
}

TEST_F(DevNodeTest, PortNamesGiveTheirNumbers) {
    const struct {
        const char* name;
        LONG port;
    } table[] = {{"COM0", 0},     {"COM7", 7},       {"COM10", 10}, {"COM12", 12},
                 {"COM123", 123}, {"COM1234", 123}, {"XYZ5", 5}};
    for (const auto& row : table) {
        build({});
        cm().assign_port_name(kFirstId, row.name);
        ASSERT_EQ(world->start(), STATUS_SUCCESS);
        EXPECT_EQ(ext()->PortIndex, row.port) << row.name;
        EXPECT_EQ(gDevObj[row.port], fdo()) << row.name;
        EXPECT_EQ(USB2SER_QueryCOMPort(fdo()), 0u) << row.name;
        // The removal gives the entry up, whichever it is.
        ASSERT_EQ(world->remove(), STATUS_SUCCESS);
        EXPECT_EQ(gDevObj[row.port], nullptr) << row.name;
    }
}

TEST_F(DevNodeTest, UnusableNamesAreTreatedLikeAMissingOneAndNeverIndexOutsideTheTable) {
    for (const char* name : {"COM999", "COM256", "COM", "CO", "COMx1", ""}) {
        build({});
        cm().assign_port_name(kFirstId, std::string(name));
        ASSERT_EQ(world->start(), STATUS_SUCCESS);
        EXPECT_EQ(ext()->PortIndex, USB2SER_DEFAULT_PORT) << '"' << name << '"';
        EXPECT_EQ(gDevObj[USB2SER_DEFAULT_PORT], fdo()) << '"' << name << '"';
        EXPECT_EQ(USB2SER_QueryCOMPort(fdo()), static_cast<ULONG>(CR_INVALID_DATA));
    }
    // A name stored as binary is not read; one stored without its
    // terminator is read within its length.
    build({});
    cm().assign_port_value(kFirstId, host::ConfigManager::Value{REG_BINARY, {'C', 'O', 'M', '5', 0}});
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->PortIndex, USB2SER_DEFAULT_PORT);
    EXPECT_EQ(USB2SER_QueryCOMPort(fdo()), static_cast<ULONG>(CR_WRONG_TYPE));
    build({});
    cm().assign_port_value(kFirstId, host::ConfigManager::Value{REG_SZ, {'C', 'O', 'M', '6'}});
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->PortIndex, 6);
    // A name that fills the driver's 64-byte buffer with its terminator is
    // read; one a byte longer is not read at all.
    build({});
    cm().assign_port_name(kFirstId, "COM5" + std::string(59, ' '));
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->PortIndex, 5);
    build({});
    cm().assign_port_name(kFirstId, "COM5" + std::string(60, ' '));
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->PortIndex, USB2SER_DEFAULT_PORT);
    EXPECT_EQ(USB2SER_QueryCOMPort(fdo()), static_cast<ULONG>(CR_BUFFER_SMALL));
}

TEST_F(DevNodeTest, WithoutANameTheFirstDeviceTakesPortThreeAndKeepsIt) {
    build({.class_installer = false});
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->PortIndex, 3);
    EXPECT_EQ(gDevObj[3], fdo());
    // A second device with no name: port number 3, but the entry stays the first's.
    PDEVICE_OBJECT second_pdo = world->bus().create_pdo();
    ASSERT_EQ(kernel().pnp().add_device(world->driver(), second_pdo), STATUS_SUCCESS);
    PDEVICE_OBJECT second = second_pdo->AttachedDevice;
    USB2SER_Extension(second)->VendorId = 0x1234;
    ASSERT_TRUE(USB2SER_CreateDevNode(second));
    EXPECT_EQ(USB2SER_QueryCOMPort(second), static_cast<ULONG>(CR_NO_SUCH_VALUE));
    EXPECT_EQ(USB2SER_Extension(second)->PortIndex, 3);
    EXPECT_EQ(gDevObj[3], fdo());
    ASSERT_EQ(kernel().pnp().remove(second_pdo), STATUS_SUCCESS);
    world->bus().delete_pdo(second_pdo);
    EXPECT_EQ(gDevObj[3], fdo());  // the second's removal left the first's entry alone
}

// The name arrives after the start: the device moves from port 3 to its own
// number, and no entry keeps naming it under the old one, before or after its
// removal; a later device without a name gets port 3.
TEST_F(DevNodeTest, ANameThatArrivesAfterTheStartMovesTheEntry) {
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    ASSERT_EQ(gDevObj[3], fdo());
    cm().assign_port_name(kFirstId, "COM5");
    kernel().pnp().query_relations(world->pdo(), BusRelations);
    EXPECT_EQ(ext()->PortIndex, 5);
    EXPECT_EQ(gDevObj[5], fdo());
    EXPECT_EQ(gDevObj[3], nullptr);
    ASSERT_EQ(world->remove(), STATUS_SUCCESS);
    for (PDEVICE_OBJECT entry : gDevObj) EXPECT_EQ(entry, nullptr);
    PDEVICE_OBJECT second_pdo = world->bus().create_pdo();
    ASSERT_EQ(kernel().pnp().add_device(world->driver(), second_pdo), STATUS_SUCCESS);
    USB2SER_Extension(second_pdo->AttachedDevice)->VendorId = 0x1234;
    ASSERT_TRUE(USB2SER_CreateDevNode(second_pdo->AttachedDevice));
    USB2SER_QueryCOMPort(second_pdo->AttachedDevice);
    EXPECT_EQ(gDevObj[3], second_pdo->AttachedDevice);
    ASSERT_EQ(kernel().pnp().remove(second_pdo), STATUS_SUCCESS);
    world->bus().delete_pdo(second_pdo);
}

TEST_F(DevNodeTest, ADeviceNeverStartedGetsNoNode) {
    EXPECT_FALSE(USB2SER_CreateDevNode(fdo()));
    EXPECT_EQ(nodes(), 0u);
    EXPECT_EQ(USB2SER_QueryCOMPort(fdo()), static_cast<ULONG>(CR_INVALID_DEVNODE));
    EXPECT_EQ(ext()->PortIndex, 3);
}

TEST_F(DevNodeTest, TheEnumeratorAcceptsConfigurationEventsAndDefaultsTheRest) {
    for (CONFIGFUNC function = 0; function <= 20; ++function) {
        bool accepted = function <= 6 || function == 10 || function == 15;
        EXPECT_EQ(EnumHandler(function, 0, 0, 0, 0), accepted ? CR_SUCCESS : CR_DEFAULT) << function;
    }
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_EQ(cm().send_event(ext()->DevNode, CONFIG_TEST_SUCCEEDED), CR_SUCCESS);
    EXPECT_EQ(cm().send_event(ext()->DevNode, CONFIG_CALLBACK), CR_DEFAULT);
}

// A node the start (and the relations query that follows it) could not make
// is made by the next relations query; then there is one, however many
// queries come.
TEST_F(DevNodeTest, OneNodePerDeviceHoweverManyRelationQueriesCome) {
    cm().assign_port_name(kFirstId, "COM5");
    cm().fail(CONFIGMG_SERVICE_CREATE_DEVNODE, CR_OUT_OF_MEMORY, 2);
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_EQ(nodes(), 0u);
    kernel().pnp().query_relations(world->pdo(), BusRelations);
    EXPECT_EQ(nodes(), 1u);
    DEVNODE node = ext()->DevNode;
    for (int i = 0; i < 5; ++i) kernel().pnp().query_relations(world->pdo(), BusRelations);
    EXPECT_EQ(nodes(), 1u);
    EXPECT_EQ(ext()->DevNode, node);
    EXPECT_EQ(gDevObj[5], fdo());
    ASSERT_EQ(world->remove(), STATUS_SUCCESS);
    EXPECT_EQ(nodes(), 0u);
    EXPECT_EQ(gDevObj[5], nullptr);
}

TEST_F(DevNodeTest, DeletingClearsTheEntryEvenWhenTheNodeStays) {
    cm().assign_port_name(kFirstId, "COM9");
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    cm().fail(CONFIGMG_SERVICE_REMOVE_SUBTREE, CR_FAILURE, 1);
    EXPECT_FALSE(USB2SER_DeleteDevNode(fdo()));
    EXPECT_EQ(gDevObj[9], nullptr);
}

TEST_F(DevNodeTest, EveryServiceThatFailsEndsTheCreationWithFalse) {
    for (int service : {CONFIGMG_SERVICE_LOCATE_DEVNODE, CONFIGMG_SERVICE_CREATE_DEVNODE,
                        CONFIGMG_SERVICE_ADD_EMPTY_LOG_CONF, CONFIGMG_SERVICE_REGISTER_ENUMERATOR}) {
        build({});
        ASSERT_EQ(world->start(), STATUS_SUCCESS);
        ASSERT_TRUE(USB2SER_DeleteDevNode(fdo()));
        cm().fail(service, CR_FAILURE, 1);
        EXPECT_FALSE(USB2SER_CreateDevNode(fdo())) << "service " << service;
        // Nothing half made is kept: the next attempt builds the whole node.
        EXPECT_TRUE(USB2SER_CreateDevNode(fdo())) << "service " << service;
        EXPECT_EQ(nodes(), 1u) << "service " << service;
        const host::ConfigManager::Node* node = cm().find(kFirstId);
        ASSERT_NE(node, nullptr) << "service " << service;
        EXPECT_EQ(node->enumerator, EnumHandler) << "service " << service;
        EXPECT_EQ(node->configurations.size(), 1u) << "service " << service;
    }
    // The I/O resource is not checked: its failure still gives a node.
    build({});
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    ASSERT_TRUE(USB2SER_DeleteDevNode(fdo()));
    cm().fail(CONFIGMG_SERVICE_ADD_RES_DES, CR_FAILURE, 1);
    EXPECT_TRUE(USB2SER_CreateDevNode(fdo()));
    // A failed read of the name falls back to port 3.
    cm().fail(CONFIGMG_SERVICE_READ_REGISTRY_VALUE, CR_REGISTRY_ERROR);
    EXPECT_EQ(USB2SER_QueryCOMPort(fdo()), static_cast<ULONG>(CR_REGISTRY_ERROR));
    EXPECT_EQ(ext()->PortIndex, 3);
    cm().clear_failures();
}

TEST_F(DevNodeTest, RemovalWithThePortOpenKeepsTheNodeButNotTheEntryAndTheDeviceTakesItBack) {
    cm().assign_port_name(kFirstId, "COM6");
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    ext()->PortOpen = TRUE;
    ASSERT_EQ(world->remove(), STATUS_SUCCESS);
    EXPECT_EQ(gDevObj[6], nullptr);
    EXPECT_EQ(nodes(), 1u);
    // The device added again has the same instance number, so the node's
    // identifier: it takes the node back as it is, and its port with it.
    const DEVNODE left = cm().find(kFirstId)->handle;
    ASSERT_EQ(world->add_device(), STATUS_SUCCESS);
    ASSERT_EQ(world->start(), STATUS_SUCCESS);
    EXPECT_EQ(ext()->DevNode, left);
    EXPECT_EQ(nodes(), 1u);
    EXPECT_EQ(gDevObj[6], fdo());
    ext()->DevNode = 0;
    EXPECT_TRUE(USB2SER_CreateDevNode(fdo()));
    EXPECT_EQ(ext()->DevNode, left);
}

}  // namespace
}  // namespace torvex_test
