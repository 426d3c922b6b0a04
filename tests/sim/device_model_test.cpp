// The simulated devices, byte for byte: the end-to-end tests are only as sharp as these answers.
#include "config.hpp"
#include "device_model.hpp"
#include "layout.hpp"
#include "sysfs_record.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>

namespace {

using sim::ControlSetup;
using testing::ElementsAre;

constexpr std::uint8_t VENDOR_IN = 0xC0;

sim::SimulatedDevice board()
{
    return {sim::defaultBoard(), 1, 2, false};
}

ControlSetup vendor(std::uint8_t request, std::uint16_t value = 0, std::uint16_t index = 0)
{
    return {VENDOR_IN, request, value, index, 7};
}

ControlSetup stringRequest(std::uint8_t index, std::uint16_t length = 255)
{
    return {0x80, 6, static_cast<std::uint16_t>(0x0300 | index),
            static_cast<std::uint16_t>(index == 0 ? 0 : 0x0409), length};
}

sim::Config parse(std::vector<std::string> arguments)
{
    bool help = false;
    arguments.insert(arguments.end(), {"--", "true"});
    return sim::parseArguments(arguments, help);
}

TEST(SimulatedBoard, StatusSetsEveryBitTheToolMustMaskOrInvert)
{
    sim::SimulatedDevice idle = board();
    EXPECT_THAT(idle.control(vendor(0)).data, ElementsAre(0xC7, 0xAF, 0, 1, 0x5A, 0xC3, 0x3C));

    sim::SimulatedDevice busy = board();
    busy.setInputs(true, 0x5);
    // Pushed: bit 6 clear. Jumpers 0 and 2 fitted: bits 0 and 2 clear.
    EXPECT_THAT(busy.control(vendor(1, 0xF8)).data,
                ElementsAre(0xBF, 0xAA, 0xF8, 1, 0x5A, 0xC3, 0x3C));
    EXPECT_EQ(busy.control(vendor(0)).data.at(0), 0xBF); // the LED state persists
}

TEST(SimulatedBoard, StallsWhatItDoesNotUnderstand)
{
    sim::SimulatedDevice device = board();
    EXPECT_EQ(device.control(vendor(2)).error, EPIPE);
    EXPECT_EQ(device.control(vendor(0, 0, 1)).error, EPIPE);          // wIndex 1
    EXPECT_EQ(device.control({0x40, 1, 0x28, 0, 7}).error, EPIPE);    // OUT
    EXPECT_EQ(device.control({0x80, 0, 0, 0, 2}).error, EPIPE);       // GET_STATUS
    EXPECT_EQ(device.control({0x80, 6, 0x0100, 0, 18}).error, EPIPE); // device descriptor
    EXPECT_EQ(device.control(vendor(0)).data.size(), 7U);
}

TEST(SimulatedBoard, FaultsHitTheirRequestInOrder)
{
    sim::SimulatedDevice device = board();
    device.setFaults({{2, sim::FaultKind::Short, 3},
                      {3, sim::FaultKind::Timeout, 0},
                      {5, sim::FaultKind::Unplug, 0}});
    EXPECT_EQ(device.control(vendor(1, 0x28)).data.size(), 7U);
    EXPECT_EQ(device.control(vendor(0)).data.size(), 3U);
    EXPECT_EQ(device.control(vendor(0)).error, ETIMEDOUT);
    EXPECT_EQ(device.control(vendor(0)).error, 0);
    EXPECT_EQ(device.control(vendor(0)).error, ENODEV);
    EXPECT_EQ(device.control(stringRequest(0)).error, ENODEV); // gone for good
}

TEST(SimulatedDevices, AnswerStringsInUtf16AndCutToTheRequestedLength)
{
    sim::SimulatedDevice device = board();
    EXPECT_THAT(device.control(stringRequest(0)).data, ElementsAre(4, 3, 0x09, 0x04));
    EXPECT_THAT(device.control(stringRequest(2, 6)).data, ElementsAre(28, 3, 'U', 0, 'S', 0));
    EXPECT_EQ(device.control(stringRequest(2)).data.size(), 28U); // "USB LED Board"
    EXPECT_EQ(device.control(stringRequest(3)).error, EPIPE);     // no such string

    sim::DevicePlan silent = sim::defaultBoard();
    silent.stallStrings = true;
    EXPECT_EQ(sim::SimulatedDevice(silent, 1, 2, false).control(stringRequest(0)).error, EPIPE);
    silent.stallStrings = false;
    silent.denyAll = true;
    EXPECT_EQ(sim::SimulatedDevice(silent, 1, 2, false).control(vendor(0)).error, EPERM);
}

TEST(SimulatorLayout, EachBusStartsWithARootHubThenKeepsTheListedOrder)
{
    const auto devices = sim::layOut(parse({"--before", "0bda:8153", "--second-board", "--after",
                                            "8087:0aaa,bus=2", "--board", "bus=1"}));
    std::vector<std::string> names;
    names.reserve(devices.size());
    for (const auto& device : devices) {
        names.push_back(device.name() + (device.isHub() ? " hub" : "") +
                        (device.plan().board ? " board" : ""));
    }
    EXPECT_THAT(names, ElementsAre("001/001 hub", "001/002", "001/003 board", "001/004 board",
                                   "002/001 hub", "002/002"));
}

TEST(SimulatorOptions, RejectWhatTheyCannotBuild)
{
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"--jumpers", "10"},
                                               {"--jumpers"},
                                               {"--fault", "0:stall"},
                                               {"--fault", "1:short=7"},
                                               {"--fault", "1:explode"},
                                               {"--before", "12345:1"},
                                               {"--before", "board,bus=0"},
                                               {"--before", "046d"},
                                               {"--board", "sparkle"},
                                               {"--no-board", "--second-board"},
                                               {"--board", "port=0"},
                                               {"--board", "port=256"},
                                               {"--board", "port=1."},
                                               {"--board", "port=1..2"},
                                               {"--board", "port=1.2.3.4.5.6.7.8"},
                                               {"--at", "3:plug"}, // no requests off the bus
                                               {"--at", "2:push@2"},
                                               {"--at", "1.5:push"},
                                               {"--at", "2x:push"},
                                               {"--at", "1.s:push"},
                                               {"--at", "0.0000001s:push"},
                                               {"--at", "100ms:wiggle"},
                                               {"--no-board", "--at", "1s:push"},
                                               {"--control", ""},
                                               {"--boards", "0"},
                                               {"--boards", "127"}, // with the root hub: 128
                                               {"--boards", "2x"},
                                               {"--boards"},
                                               {"--no-board", "--boards", "2"},
                                               {"--boards", "2", "--second-board"},
                                               {"--boards", "2", "--at", "1:push@3"},
                                               {"--frobnicate"}}) {
        EXPECT_THROW(parse(bad), std::invalid_argument) << testing::PrintToString(bad);
    }
    bool help = false;
    EXPECT_THROW(sim::parseArguments({"--push"}, help), std::invalid_argument); // no command

    std::vector<std::string> crowded;
    for (int i = 0; i < 126; ++i) { // with the root hub and the board: 128 addresses
        crowded.insert(crowded.end(), {"--before", "0bda:8153"});
    }
    EXPECT_THROW(sim::layOut(parse(crowded)), std::invalid_argument);
    crowded.resize(crowded.size() - 2);
    EXPECT_EQ(sim::layOut(parse(crowded)).back().address(), 127);
}

TEST(SimulatorLayout, PortsNameTheSysfsDirectoriesAsTheKernelDoes)
{
    const auto devices =
        sim::layOut(parse({"--before", "0bda:8153,port=3.4", "--after",
                           "046d:c52b,port=1.2.3.4.5.6.7", "--after", "8087:0aaa,bus=2"}));
    std::vector<std::string> names;
    names.reserve(devices.size());
    for (const auto& device : devices) {
        names.push_back(device.name() + " " + device.sysfsName() + " " + device.devpath());
    }
    // Without a port, a device is at port (address - 1): the board at 001/003 is at port 2.
    EXPECT_THAT(names, ElementsAre("001/001 usb1 0", "001/002 1-3.4 3.4", "001/003 1-2 2",
                                   "001/004 1-1.2.3.4.5.6.7 1.2.3.4.5.6.7", "002/001 usb2 0",
                                   "002/002 2-1 1"));
    EXPECT_EQ(sim::sysfsPath(devices[1]), "/sys/devices/pci0000:00/0000:00:1d.0/usb1/1-3/1-3.4");
    EXPECT_EQ(sim::sysfsPath(devices[4]), "/sys/devices/pci0000:00/0000:00:1d.0/usb2");

    // The same port twice, or a port behind one that holds a device (which is no hub).
    for (const std::vector<std::string>& clash : std::vector<std::vector<std::string>>{
             {"--board", "port=2", "--before", "0bda:8153,port=2"},
             {"--before", "0bda:8153"}, // at port 1, by its address
             {"--board", "port=1.4", "--after", "0bda:8153,port=1.4.2"}}) {
        std::vector<std::string> arguments = clash;
        if (clash.size() == 2) {
            arguments.insert(arguments.end(), {"--after", "046d:c52b,port=1"});
        }
        EXPECT_THROW(sim::layOut(parse(arguments)), std::invalid_argument)
            << testing::PrintToString(arguments);
    }
    EXPECT_NO_THROW(sim::layOut(parse({"--board", "port=1.4", "--after", "0bda:8153,port=1.5",
                                       "--after", "046d:c52b,bus=2,port=1.4"})));
}

TEST(SimulatorSysfs, EveryTextAttributeEndsInANewlineAsTheKernelsDo)
{
    sim::DevicePlan plan = sim::defaultBoard();
    plan.serialNumber = "A\\B"; // umockdev's records escape a backslash
    sim::SimulatedDevice device(plan, 1, 5, false);
    device.setPort({1, 4});
    const std::string record = sim::sysfsRecord(device);
    EXPECT_THAT(record, testing::StartsWith("P: /devices/pci0000:00/0000:00:1d.0/usb1/1-1/1-1.4\n"
                                            "E: SUBSYSTEM=usb\n"));
    // No node: umockdev would write it under a temporary name that a rescan lists.
    EXPECT_THAT(record, testing::Not(testing::HasSubstr("N: ")));
    for (const char* line :
         {"A: busnum=1\\n\n", "A: devnum=5\\n\n", "A: devpath=1.4\\n\n", "A: idVendor=1384\\n\n",
          "A: idProduct=8888\\n\n", "A: speed=1.5\\n\n", "A: bConfigurationValue=1\\n\n",
          "A: product=USB LED Board\\n\n", "A: manufacturer=ledboard simulator\\n\n",
          "A: serial=A\\\\B\\n\n", "E: DEVNAME=/dev/bus/usb/001/005\n", "A: dev=189:4\n"}) {
        EXPECT_THAT(record, testing::HasSubstr(line));
    }
    // The binary attribute holds the descriptors the node holds.
    const std::string binary = record.substr(record.find("H: descriptors=") + 15);
    std::string expected;
    for (const std::uint8_t byte : device.descriptors()) {
        constexpr const char* DIGITS = "0123456789ABCDEF";
        expected += {DIGITS[byte >> 4U], DIGITS[byte & 0xFU]};
    }
    EXPECT_EQ(binary.substr(0, binary.find('\n')), expected);
    EXPECT_EQ(binary.substr(0, 8), "12011001"); // an 18-byte device descriptor, USB 1.1
    EXPECT_EQ(sim::sysfsDevAttribute(device), "189:4\n");
}

TEST(SimulatorOptions, ChangesAtTimesAndForTheBoardTheyName)
{
    const sim::Config config =
        parse({"--at", "1.5s:unplug@3", "--before", "board,bus=2", "--second-board", "--at",
               "300ms:push,jumpers=a", "--at", "4:unplug@2", "--at", "2s:plug@3"});
    ASSERT_EQ(config.timedChanges.size(), 3U);
    EXPECT_EQ(config.timedChanges[0].after, std::chrono::microseconds(1500000));
    EXPECT_EQ(config.timedChanges[0].change.board, 3);
    EXPECT_EQ(config.timedChanges[0].change.plugged, false);
    EXPECT_EQ(config.timedChanges[1].after, std::chrono::microseconds(300000));
    EXPECT_EQ(config.timedChanges[1].change.board, 1);
    EXPECT_EQ(config.timedChanges[1].change.pushed, true);
    EXPECT_EQ(config.timedChanges[1].change.jumpers, 0xaU);
    EXPECT_EQ(config.timedChanges[2].change.plugged, true);
    ASSERT_EQ(config.changes.size(), 1U);
    EXPECT_EQ(config.changes[0].order, 4);
    EXPECT_EQ(config.changes[0].change.board, 2);

    // The board is 1 and the second board 2, wherever the others are listed.
    const auto devices = sim::layOut(config);
    std::vector<std::string> boards;
    for (const auto& device : devices) {
        if (device.plan().board) {
            boards.push_back(device.name() + " #" + std::to_string(device.plan().boardNumber));
        }
    }
    EXPECT_THAT(boards, ElementsAre("001/002 #1", "001/003 #2", "002/002 #3"));

    EXPECT_EQ(sim::parseBoardChange("unplug,release@2", 2).board, 2);
    EXPECT_THROW(sim::parseBoardChange("unplug@0", 2), std::invalid_argument);
    EXPECT_THROW(sim::parseBoardChange("", 2), std::invalid_argument);
}

TEST(SimulatorOptions, BoardsAreNumberedAndNamedInTheirOrderBehindTheBoard)
{
    const auto described = [](const std::vector<std::string>& arguments) {
        std::vector<std::string> names;
        for (const auto& device : sim::layOut(parse(arguments))) {
            names.push_back(device.name() + " " + device.sysfsName() + " " +
                            device.plan().serialNumber.value_or("-") + " #" +
                            std::to_string(device.plan().boardNumber));
        }
        return names;
    };
    EXPECT_THAT(described({"--boards", "3"}),
                ElementsAre("001/001 usb1 - #0", "001/002 1-1 B001 #1", "001/003 1-2 B002 #2",
                            "001/004 1-3 B003 #3"));
    // Other devices keep their places around them; a board listed ahead is numbered after them;
    // a serial given to the board stays; every board sits on the board's bus.
    EXPECT_THAT(described({"--after", "0bda:8153", "--board", "serial=MINE,bus=2", "--before",
                           "board,bus=2,serial=EARLY", "--boards", "2"}),
                ElementsAre("001/001 usb1 - #0", "001/002 1-1 - #0", "002/001 usb2 - #0",
                            "002/002 2-1 EARLY #3", "002/003 2-2 MINE #1", "002/004 2-3 B002 #2"));

    // A full bus (the end-to-end tests list it): the last board can be named, nothing added.
    EXPECT_EQ(parse({"--boards", "126", "--at", "1s:unplug@126"}).timedChanges.at(0).change.board,
              126);
    EXPECT_THROW(sim::layOut(parse({"--boards", "126", "--after", "0bda:8153"})),
                 std::invalid_argument);
}

TEST(SimulatorLayout, ADeviceThatStartsUnpluggedHasNoAddressButKeepsAPort)
{
    const auto devices = sim::layOut(parse({"--before", "0bda:8153,unplugged", "--after",
                                            "board,unplugged,port=4", "--after", "046d:c52b"}));
    std::vector<std::string> names;
    names.reserve(devices.size());
    for (const auto& device : devices) {
        names.push_back((device.present() ? device.name() : "off") + " " + device.sysfsName());
    }
    // The board takes address 2 and port 1; the first device the lowest port left free.
    EXPECT_THAT(names,
                ElementsAre("001/001 usb1", "off 1-3", "001/002 1-1", "off 1-4", "001/003 1-2"));
}

TEST(SimulatorLayout, ANewDeviceGetsTheNumberAfterTheLastAndRoundTheBusSkipsThoseInUse)
{
    std::vector<sim::SimulatedDevice> devices;
    devices.emplace_back(sim::defaultBoard(), 1, 1, true);
    devices.emplace_back(sim::defaultBoard(), 1, 2, false);
    devices.emplace_back(sim::defaultBoard(), 2, 5, false);
    EXPECT_EQ(sim::nextAddress(devices, 1, 2), 3);
    EXPECT_EQ(sim::nextAddress(devices, 1, 9), 10); // not the lowest free: the one after the last
    EXPECT_EQ(sim::nextAddress(devices, 1, 127), 3);
    devices[1].leaveBus();
    EXPECT_EQ(sim::nextAddress(devices, 1, 127), 2);
    for (int address = 2; address <= 127; ++address) {
        devices.emplace_back(sim::defaultBoard(), 1, address, false);
    }
    EXPECT_EQ(sim::nextAddress(devices, 1, 50), 0); // a full bus
}

TEST(SimulatedBoard, PluggedInAgainItsLedsAreOffAndItsInputsStay)
{
    sim::SimulatedDevice device = board();
    device.setInputs(true, 0x3);
    EXPECT_EQ(device.control(vendor(1, 0x28)).data.at(0) & 0x38, 0x28);
    device.leaveBus();
    EXPECT_EQ(device.control(vendor(0)).error, ENODEV);
    EXPECT_EQ(device.control(stringRequest(0)).error, ENODEV);
    device.joinBus(7);
    EXPECT_EQ(device.name(), "001/007");
    // LEDs off and no LED value; pushed (bit 6 clear), jumpers 0 and 1 fitted; its second vendor
    // request (those off the bus never reached it).
    EXPECT_THAT(device.control(vendor(0)).data, ElementsAre(0x87, 0xAC, 0, 2, 0x5A, 0xC3, 0x3C));

    // A change at a request that unplugs: that request fails, and the testbed is told.
    device.setChanges({{3, {std::nullopt, 0x0U, false, 1, std::nullopt}}});
    const sim::ControlReply gone = device.control(vendor(0));
    EXPECT_EQ(gone.error, ENODEV);
    EXPECT_TRUE(gone.leftBus);
}

} // namespace

namespace {

TEST(SimulatedBoard, AHungBoardAnswersNothingUntilItAnswersAgain)
{
    sim::SimulatedDevice device = board();
    sim::BoardChange hang;
    hang.hung = true;
    device.applyInputs(hang);
    // Nothing answered, vendor or standard, and nothing done: the LED request is not applied.
    for (const ControlSetup& setup : {vendor(1, 0x28), stringRequest(0)}) {
        const sim::ControlReply waiting = device.control(setup);
        EXPECT_EQ(waiting.hold, sim::Hold::UntilAnswered);
        EXPECT_EQ(waiting.error, ETIMEDOUT);
        EXPECT_TRUE(waiting.data.empty());
    }
    sim::BoardChange answer;
    answer.hung = false;
    device.applyInputs(answer);
    // Asked again, the LED request is its first vendor request (byte 3 counts them).
    const sim::ControlReply answered = device.control(vendor(1, 0x28));
    EXPECT_EQ(answered.hold, sim::Hold::No);
    EXPECT_THAT(answered.data, ElementsAre(0xEF, 0xAF, 0x28, 1, 0x5A, 0xC3, 0x3C));

    // A hang fault loses one request; the next is answered. A replug ends a hang.
    device.setFaults({{2, sim::FaultKind::Hang, 0}});
    EXPECT_EQ(device.control(vendor(0)).hold, sim::Hold::UntilTimeout);
    EXPECT_EQ(device.control(vendor(0)).hold, sim::Hold::No);
    device.applyInputs(hang);
    device.leaveBus();
    device.joinBus(3);
    EXPECT_EQ(device.control(vendor(0)).hold, sim::Hold::No);

    const sim::Config config = parse({"--fault", "4:hang", "--at", "2:hang", "--at", "1s:answer"});
    EXPECT_EQ(config.faults.at(0).kind, sim::FaultKind::Hang);
    EXPECT_EQ(config.changes.at(0).change.hung, true);
    EXPECT_EQ(config.timedChanges.at(0).change.hung, false);
    EXPECT_EQ(sim::parseBoardChange("push", 1).hung, std::nullopt);
}

} // namespace
