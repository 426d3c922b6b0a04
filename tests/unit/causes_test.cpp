// Where the tool looks for the causes of a board it cannot use: sysfs, and udev's rule folders.
#include "causes.hpp"
#include "ledboard_device.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class Scratch : public testing::Test {
protected:
    void SetUp() override
    {
        // ctest runs each test in a process of its own, side by side.
        root_ = fs::path(testing::TempDir()) / ("ledboard-causes-" + std::to_string(getpid()));
        fs::remove_all(root_);
        fs::create_directories(root_);
    }
    void TearDown() override { fs::remove_all(root_); }

    // A device in a sysfs-like tree; the kernel ends each attribute with a newline.
    void device(const std::string& name, const char* vendor, const char* product, int bus,
                int address, const char* end = "\n")
    {
        const fs::path directory = root_ / name;
        fs::create_directories(directory);
        std::ofstream(directory / "idVendor") << vendor << end;
        std::ofstream(directory / "idProduct") << product << end;
        std::ofstream(directory / "busnum") << bus << end;
        std::ofstream(directory / "devnum") << address << end;
    }

    fs::path root_;
};

TEST_F(Scratch, SysfsShowsTheFirstAttachedBoard)
{
    device("usb1", "1d6b", "0002", 1, 1);
    device("3-2", "1384", "8888", 3, 7);
    device("1-1", "1384", "8889", 1, 2);
    device("2-1", "1384", "8888", 2, 5, "");   // as umockdev writes attributes
    fs::create_directories(root_ / "2-1:1.0"); // an interface: no identity

    const auto first =
        findAttachedInSysfs(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, nullptr, root_.c_str());
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(*first, (BusAddress{2, 5}));

    const BusAddress there{3, 7};
    EXPECT_EQ(findAttachedInSysfs(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, &there, root_.c_str()),
              there);
    const BusAddress elsewhere{1, 2};
    EXPECT_FALSE(
        findAttachedInSysfs(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, &elsewhere, root_.c_str()));
    EXPECT_FALSE(findAttachedInSysfs(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, nullptr, "/nonexistent"));
}

TEST_F(Scratch, TheRuleIsFoundInAnyOfUdevsFolders)
{
    const std::string etc = (root_ / "etc").string();
    const std::string lib = (root_ / "lib").string();
    fs::create_directories(etc);
    fs::create_directories(lib);
    const std::array<const char*, 2> folders{etc.c_str(), lib.c_str()};

    EXPECT_FALSE(findInstalledRule(folders).has_value());
    std::ofstream(root_ / "lib" / UDEV_RULE_NAME) << "\n";
    EXPECT_EQ(findInstalledRule(folders), 1U);
    std::ofstream(root_ / "etc" / UDEV_RULE_NAME) << "\n";
    EXPECT_EQ(findInstalledRule(folders), 0U);
}

} // namespace
