// Port paths and the devices sysfs shows, read from a sysfs-like tree in a scratch folder.
#include "ledboard_device.hpp"
#include "sysfs.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

TEST(PortPath, OneSpellingForEachPlace)
{
    for (const char* path : {"1-1", "1-1.4", "12-3.10", "999-255", "2-1.2.3.4.5.6.7",
                             "999-255.255.255.255.255.255.255"}) {
        EXPECT_TRUE(isPortPath(path)) << path;
        EXPECT_LT(std::string_view(path).size(), PORT_PATH_LENGTH) << path;
    }
    for (const char* text :
         {"",      "1",    "1-",   "-1",     "usb1",         "1-1:1.0",      "0-1",
          "1-0",   "01-1", "1-01", "1-1.04", "1000-1",       "1-256",        "1-1.2.3.4.5.6.7.8",
          "1-1.",  "1-.1", "1--1", "1-1..2", "1-1-2",        " 1-1",         "1-1 ",
          "1-1\n", "+1-1", "1-+1", "1-1.4x", "1-4294967297", "4294967297-1", "1.1-1",
          "1:1"}) {
        EXPECT_FALSE(isPortPath(text)) << '"' << text << '"';
    }
    // The text ends where the view ends, not at a NUL.
    EXPECT_TRUE(isPortPath(std::string_view("1-1.4:1.0", 5)));
    EXPECT_FALSE(isPortPath(std::string_view("1-1\0.4", 6)));
}

class Sysfs : public testing::Test {
protected:
    void SetUp() override
    {
        // ctest runs each test in a process of its own, side by side.
        root_ = fs::path(testing::TempDir()) / ("ledboard-sysfs-" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    void attribute(const std::string& device, const char* name, const std::string& value)
    {
        fs::create_directories(root_ / device);
        std::ofstream(root_ / device / name) << value;
    }

    // The kernel ends each attribute with a newline; umockdev may not.
    void device(const std::string& name, const char* vendor, const char* product, int bus,
                int address, const char* end = "\n")
    {
        attribute(name, "idVendor", vendor + std::string(end));
        attribute(name, "idProduct", product + std::string(end));
        attribute(name, "busnum", std::to_string(bus) + end);
        attribute(name, "devnum", std::to_string(address) + end);
    }

    void board(const std::string& name, int bus, int address, const char* end = "\n")
    {
        device(name, "1384", "8888", bus, address, end);
    }

    const char* root() const { return root_.c_str(); }

    fs::path root_;
};

TEST_F(Sysfs, ListsTheBoardsInBusAndDeviceOrder)
{
    device("usb1", "1d6b", "0002", 1, 1);     // a root hub: no port path
    device("1-1", "05e3", "0608", 1, 2);      // a hub
    board("1-1.4", 1, 9);                     // behind the hub
    board("3-2", 3, 7);                       //
    board("1-2", 1, 3, "");                   // as umockdev writes attributes
    board("2-1", 2, 12);                      //
    board("1-1.4:1.0", 1, 9);                 // an interface, even with a device's attributes
    device("1-3", "1384", "8889", 1, 4);      // another product of the vendor
    device("1-5", "11384", "8888", 1, 5);     // an identity wider than 16 bits, cut
    fs::create_directories(root_ / "2-2");    // no attributes at all
    attribute("2-3", "idVendor", "1384\n");   // some attributes missing
    attribute("2-3", "idProduct", "8888\n");  //
    std::ofstream(root_ / "4-1") << "a file"; // not a folder

    std::array<SysfsDevice, 8> found{};
    ASSERT_EQ(listSysfsDevices(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, found, root()), 4U);
    const std::pair<BusAddress, std::string_view> expected[] = {
        {{1, 3}, "1-2"}, {{1, 9}, "1-1.4"}, {{2, 12}, "2-1"}, {{3, 7}, "3-2"}};
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(found[i].address, expected[i].first) << i;
        EXPECT_EQ(found[i].path.text.data(), expected[i].second) << i;
        EXPECT_EQ(found[i].vendor, DEVICE_VENDOR_ID) << i;
        EXPECT_EQ(found[i].product, DEVICE_PRODUCT_ID) << i;
    }

    // Less room keeps the first ones in order, whatever order the folder lists them in.
    std::array<SysfsDevice, 2> firstTwo{};
    ASSERT_EQ(listSysfsDevices(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, firstTwo, root()), 2U);
    EXPECT_EQ(firstTwo[0].address, (BusAddress{1, 3}));
    EXPECT_EQ(firstTwo[1].address, (BusAddress{1, 9}));
    EXPECT_EQ(listSysfsDevices(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, {}, root()), 0U);

    ASSERT_EQ(listSysfsDevices(0x1d6b, 0x0002, found, root()), 0U);
    ASSERT_EQ(listSysfsDevices(0x05e3, 0x0608, found, root()), 1U);
    EXPECT_EQ(found[0].path.text.data(), std::string_view("1-1"));
    EXPECT_EQ(listSysfsDevices(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, found, "/nonexistent"), 0U);
}

TEST_F(Sysfs, FindsTheDeviceAtAnAddressOrAPortPath)
{
    device("usb1", "1d6b", "0002", 1, 1);
    device("1-1", "05e3", "0608", 1, 2);
    board("1-1.4", 1, 9, "");

    EXPECT_EQ(sysfsPathOf({1, 9}, root()).text.data(), std::string_view("1-1.4"));
    EXPECT_EQ(sysfsPathOf({1, 2}, root()).text.data(), std::string_view("1-1"));
    EXPECT_TRUE(sysfsPathOf({1, 1}, root()).empty()); // the root hub
    EXPECT_TRUE(sysfsPathOf({2, 9}, root()).empty());
    EXPECT_TRUE(sysfsPathOf({1, 9}, "/nonexistent").empty());

    const auto hub = sysfsDeviceAt("1-1", root());
    ASSERT_TRUE(hub.has_value());
    EXPECT_EQ(hub->address, (BusAddress{1, 2}));
    EXPECT_EQ(hub->vendor, 0x05e3);
    EXPECT_EQ(hub->product, 0x0608);
    EXPECT_EQ(hub->path.text.data(), std::string_view("1-1"));

    // The path is the view, not the text up to a NUL.
    const auto board = sysfsDeviceAt(std::string_view("1-1.4:1.0", 5), root());
    ASSERT_TRUE(board.has_value());
    EXPECT_EQ(board->address, (BusAddress{1, 9}));
    EXPECT_EQ(board->path.text.data(), std::string_view("1-1.4"));

    EXPECT_FALSE(sysfsDeviceAt("usb1", root()));
    EXPECT_FALSE(sysfsDeviceAt("1-2", root()));
    EXPECT_FALSE(sysfsDeviceAt("1-1/..", root()));
    EXPECT_FALSE(sysfsDeviceAt("", root()));
}

TEST_F(Sysfs, AttributesAreANumberAndAtMostOneNewline)
{
    const std::string tooLong(40, '0'); // a number, but longer than any attribute holds
    const std::pair<const char*, int> vendors[] = {
        {"1384\n", 0x1384}, {"1384", 0x1384}, {"abcd\n", 0xabcd}, {"ABCD\n", 0xabcd},
        {"0001\n", 0x0001}, {"", -1},         {"\n", -1},         {"1384\n\n", -1},
        {" 1384", -1},      {"1384 ", -1},    {"0x1384", -1},     {"-1", -1},
        {"10000", -1},      {"13g4", -1},     {"1\n384", -1},     {tooLong.c_str(), -1}};
    for (const auto& [text, vendor] : vendors) {
        device("5-1", "1384", "8888", 5, 2);
        attribute("5-1", "idVendor", text);
        const auto found = sysfsDeviceAt("5-1", root());
        if (vendor < 0) {
            EXPECT_FALSE(found.has_value()) << '"' << text << '"';
            continue;
        }
        ASSERT_TRUE(found.has_value()) << '"' << text << '"';
        EXPECT_EQ(found->vendor, vendor) << '"' << text << '"';
    }
    device("5-1", "1384", "8888", 5, 2);
    attribute("5-1", "devnum", "7a\n"); // decimal only
    EXPECT_FALSE(sysfsDeviceAt("5-1", root()));
}

} // namespace
