// Finding the board among the devices libusb lists.
#include "fake_usb.hpp"
#include "ledboard_device.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>

namespace {

using fake::board;
using fake::other;
using testing::ElementsAre;
using testing::IsEmpty;

struct Lookup {
    int result;
    usb_dev_handle* handle;
};

Lookup lookUp()
{
    usb_dev_handle* handle = nullptr;
    const int result = usbOpenDevice(&handle, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID);
    return {result, handle};
}

std::vector<std::string> callsAfterRescan()
{
    const auto& calls = fake::state().calls;
    const auto rescanEnd = calls.begin() + std::min<std::ptrdiff_t>(4, std::ssize(calls));
    EXPECT_THAT(std::vector(calls.begin(), rescanEnd),
                ElementsAre("usb_init", "usb_find_busses", "usb_find_devices", "usb_get_busses"));
    return {rescanEnd, calls.end()};
}

TEST(Lookup, OpensTheBoardBehindOtherDevicesAndClosesThem)
{
    fake::reset({{{other(), board()}}});

    const Lookup found = lookUp();

    EXPECT_EQ(found.result, 0);
    ASSERT_NE(found.handle, nullptr);
    EXPECT_THAT(callsAfterRescan(),
                ElementsAre("usb_open 001/001",                                 //
                            "usb_get_string_simple 001/001 index=2 length=256", // product
                            "usb_get_string_simple 001/001 index=1 length=256", // manufacturer
                            "usb_close 001/001",                                //
                            "usb_open 001/002",                                 //
                            "usb_get_string_simple 001/002 index=2 length=256",
                            "usb_get_string_simple 001/002 index=1 length=256"));
    EXPECT_EQ(fake::state().openHandles, 1);
    HandleCloser{}(found.handle);
}

TEST(Lookup, TheFirstBoardInBusOrderWinsAndLaterOnesAreNeverOpened)
{
    fake::reset({{{other()}}, {{other(), board(), board()}}, {{board()}}});

    const Lookup found = lookUp();

    ASSERT_EQ(found.result, 0);
    const auto& calls = fake::state().calls;
    EXPECT_EQ(calls.back(), "usb_get_string_simple 002/002 index=1 length=256");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "usb_open 002/003"), 0);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "usb_open 003/001"), 0);
    EXPECT_EQ(fake::state().openHandles, 1);
    HandleCloser{}(found.handle);
}

TEST(Lookup, RefusesABoardWhoseStringsCannotBeRead)
{
    fake::Device silentProduct = board();
    silentProduct.productRead = 0;
    fake::Device failingManufacturer = board();
    failingManufacturer.manufacturerRead = -32; // -EPIPE: the request stalled
    fake::Device unopenable = board();
    unopenable.opens = false;
    fake::reset({{{silentProduct, failingManufacturer, unopenable}}});

    const Lookup refused = lookUp();

    EXPECT_EQ(refused.result, 1);
    EXPECT_EQ(refused.handle, nullptr);
    EXPECT_EQ(fake::state().openHandles, 0);
    // Both strings are asked for even when the first read already failed.
    EXPECT_THAT(callsAfterRescan(),
                ElementsAre("usb_open 001/001", "usb_get_string_simple 001/001 index=2 length=256",
                            "usb_get_string_simple 001/001 index=1 length=256", "usb_close 001/001",
                            "usb_open 001/002", "usb_get_string_simple 001/002 index=2 length=256",
                            "usb_get_string_simple 001/002 index=1 length=256", "usb_close 001/002",
                            "usb_open 001/003"));
}

TEST(Lookup, AReadableBoardAfterARefusedOneIsAccepted)
{
    fake::Device mute = board();
    mute.productRead = -1;
    fake::reset({{{mute, board()}}});

    const Lookup found = lookUp();

    ASSERT_EQ(found.result, 0);
    EXPECT_EQ(fake::state().openHandles, 1);
    EXPECT_EQ(fake::state().calls.back(), "usb_get_string_simple 001/002 index=1 length=256");
    HandleCloser{}(found.handle);
}

TEST(Lookup, MatchesTheIdentityExactly)
{
    // Same vendor with another product, the product under another vendor, and IDs that differ
    // only in the sign bit: none of them is the board.
    fake::reset({{{other(0x1384, 0x8889), other(0x1385, 0x8888), other(0x1384, 0x0888),
                   other(0x9384, 0x8888)}}});

    const Lookup refused = lookUp();

    EXPECT_EQ(refused.result, 1);
    EXPECT_EQ(fake::state().openHandles, 0);
}

TEST(Lookup, WalksTheBusWhateverTheRescanCounts)
{
    // A process's first rescan: one bus, one device. Also a later one: nothing changed.
    for (const auto& [busses, devices] : {std::pair{1, 2}, std::pair{1, 0}, std::pair{0, 0}}) {
        fake::State& state = fake::reset({{{board()}}});
        state.findBussesResult = busses;
        state.findDevicesResult = devices;

        const Lookup found = lookUp();

        EXPECT_EQ(found.result, 0) << busses << " " << devices;
        if (found.handle != nullptr) {
            HandleCloser{}(found.handle);
        }
    }
}

TEST(Lookup, GivesUpOnALibraryErrorWithoutWalking)
{
    for (const auto& [busses, devices] : {std::pair{-2, 0}, std::pair{1, -1}}) {
        fake::State& state = fake::reset({{{board()}}});
        state.findBussesResult = busses;
        state.findDevicesResult = devices;

        const Lookup refused = lookUp();

        EXPECT_EQ(refused.result, 1);
        EXPECT_EQ(refused.handle, nullptr);
        EXPECT_THAT(fake::state().calls,
                    ElementsAre("usb_init", "usb_find_busses", "usb_find_devices"));
    }
}

TEST(Lookup, AnEmptyBusOpensNothing)
{
    fake::reset({{}});

    EXPECT_EQ(lookUp().result, 1);
    EXPECT_THAT(callsAfterRescan(), IsEmpty());
}

TEST(Lookup, NamesTheFirstRefusedBoardAndWhy)
{
    fake::Device denied = board();
    denied.productRead = -EPERM;
    fake::Device empty = board();
    empty.manufacturerRead = 0;
    fake::reset({{{other()}}, {{other(0x1384, 0x8889), denied, empty}}});

    usb_dev_handle* handle = nullptr;
    RefusedBoard refused{};
    ASSERT_EQ(usbOpenDevice(&handle, DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, &refused), 1);

    EXPECT_STREQ(refused.location.bus, "002");
    EXPECT_STREQ(refused.location.device, "002");
    EXPECT_EQ(refused.why.refusal, Refusal::NoPermission);
    EXPECT_EQ(refused.why.error, -EPERM);
}

} // namespace

namespace {

fake::Device named(fake::Device device, std::string name)
{
    device.name = std::move(name);
    return device;
}

std::vector<std::string> listedInOrder()
{
    usbRescan();
    BoardList list;
    usbListInOrder(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, list);
    std::vector<std::string> names;
    for (usb_device* device : list) {
        const DeviceLocation at = usbLocationOf(device);
        names.push_back(std::string{at.bus} + "/" + at.device);
    }
    return names;
}

// Which requests an exchange made, as "request value" pairs.
std::vector<std::string> requestsMade()
{
    std::vector<std::string> made;
    for (const fake::ControlCall& call : fake::state().controls) {
        made.push_back(std::to_string(call.request) + " " + std::to_string(call.value));
    }
    return made;
}

} // namespace

// libusb lists in whatever order its build and the filesystem give; every program shows and
// chooses boards in bus and device number order, from one sort.
TEST(Listing, BoardsComeInBusAndDeviceNumberOrderWhateverTheLibraryOrder)
{
    fake::reset({{{named(board(), "010"), named(other(), "001"), named(board(), "002"),
                   named(board(), "009")},
                  "002"},
                 {{named(board(), "127"), named(board(), "003")}, "001"}});

    EXPECT_THAT(listedInOrder(),
                ElementsAre("001/003", "001/127", "002/002", "002/009", "002/010"));
    // Only the list was read: nothing opened.
    EXPECT_EQ(fake::state().openHandles, 0);
}

TEST(Listing, ABusWithoutBoardsListsNothing)
{
    fake::reset({{{other(), other()}}});
    EXPECT_THAT(listedInOrder(), IsEmpty());
}

// One exchange, the same for the tool and the service: a command is the LED request and two
// status reads; a plain read is one; a failed LED request is not followed by reads that would
// report a state the command never reached.
TEST(Exchange, ACommandIsTheLedRequestThenTwoStatusReadsAndAReadIsOne)
{
    fake::reset({{{board()}}});
    usb_dev_handle* handle = lookUp().handle;
    ASSERT_NE(handle, nullptr);
    StatusReply reply;
    const int number = 13;

    fake::state().controls.clear();
    const ExchangeResult set = usbExchange(handle, nullptr, &number, reply);
    EXPECT_THAT(requestsMade(), ElementsAre("1 104", "0 0", "0 0")); // 13 << 3
    EXPECT_TRUE(set.statusArrived());
    EXPECT_FALSE(set.commandFailed());

    fake::state().controls.clear();
    const ExchangeResult read = usbExchange(handle, nullptr, nullptr, reply);
    EXPECT_THAT(requestsMade(), ElementsAre("0 0"));
    EXPECT_EQ(read.sent, 0);
    EXPECT_TRUE(read.statusArrived());

    fake::state().controls.clear();
    fake::state().transfers.push_back({.result = -EPIPE, .data = {}, .error = "stall"});
    const ExchangeResult failed = usbExchange(handle, nullptr, &number, reply);
    EXPECT_THAT(requestsMade(), ElementsAre("1 104"));
    EXPECT_TRUE(failed.commandFailed());
    EXPECT_FALSE(failed.statusArrived());
    HandleCloser{}(handle);
}
