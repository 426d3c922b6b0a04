// One run of the tool against the fake library: what the board is sent, and what the user sees.
#include "fake_usb.hpp"
#include "hints.hpp"
#include "run.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <memory>

namespace {

using fake::board;
using fake::other;
using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

constexpr int VENDOR_IN = 0xC0;

struct Outcome {
    std::string out;
    std::string err;
    int status;
};

std::string contents(std::FILE* file)
{
    std::rewind(file);
    std::string text;
    for (int c = std::fgetc(file); c != EOF; c = std::fgetc(file)) {
        text.push_back(static_cast<char>(c));
    }
    return text;
}

Outcome run(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), "ledboard");
    std::vector<char*> argv;
    argv.reserve(arguments.size());
    for (auto& argument : arguments) {
        argv.push_back(argument.data());
    }
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> out{std::tmpfile(), &std::fclose};
    const std::unique_ptr<std::FILE, decltype(&std::fclose)> err{std::tmpfile(), &std::fclose};
    const int status = runLedboard(argv, out.get(), err.get());
    return {contents(out.get()), contents(err.get()), status};
}

fake::Transfer reply(int result, std::vector<unsigned char> data = {})
{
    return {.result = result, .data = std::move(data), .error = ""};
}

fake::Transfer failure(int errnoValue, std::string text)
{
    return {.result = -errnoValue, .data = {}, .error = std::move(text)};
}

TEST(Exchange, SendsTheLedValueThenReadsTheStatusTwiceIntoOneBuffer)
{
    fake::reset({{{board()}}});

    const Outcome outcome = run({"5"});

    EXPECT_EQ(outcome.status, 0);
    const auto& controls = fake::state().controls;
    ASSERT_EQ(controls.size(), 3U);
    const int expected[3][2] = {{1, 0x28}, {0, 0}, {0, 0}}; // request, wValue
    for (std::size_t i = 0; i < controls.size(); ++i) {
        EXPECT_EQ(controls[i].device, "001/001");
        EXPECT_EQ(controls[i].requestType, VENDOR_IN);
        EXPECT_EQ(controls[i].request, expected[i][0]);
        EXPECT_EQ(controls[i].value, expected[i][1]);
        EXPECT_EQ(controls[i].index, 0);
        EXPECT_EQ(controls[i].length, 7);
        EXPECT_EQ(controls[i].timeout, 5000);
        EXPECT_EQ(controls[i].buffer, controls[0].buffer);
    }
}

TEST(CommandLine, WithoutAnArgumentAsksForOneAndTouchesNoUsb)
{
    fake::reset({{{board()}}});

    const Outcome outcome = run({});

    EXPECT_EQ(outcome.out, "you need LED data\n");
    EXPECT_EQ(outcome.err, "");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_THAT(fake::state().calls, IsEmpty());
}

TEST(CommandLine, WithoutABoardAsksForItToBePluggedIn)
{
    fake::reset({{{other()}}});

    const Outcome outcome = run({"5"});

    EXPECT_EQ(outcome.out, "Plugin your USB device1 \n");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_THAT(fake::state().controls, IsEmpty());
}

TEST(CommandLine, PrintsTheBoardsStatus)
{
    const std::pair<std::vector<unsigned char>, const char*> cases[] = {
        {{0x28, 0x0F, 0, 0, 0, 0, 0}, "LED  d  5\nPUSH d  1\nJUMP b  0\n"},
        {{0xFF, 0x00, 0, 0, 0, 0, 0}, "LED  d  7\nPUSH d  0\nJUMP b  f\n"},
        {{0x40, 0xF5, 0, 0, 0, 0, 0}, "LED  d  0\nPUSH d  0\nJUMP b  a\n"}};
    for (const auto& [bytes, printed] : cases) {
        fake::State& state = fake::reset({{{board()}}});
        // Only the last reply counts: the earlier ones say something else.
        state.transfers = {reply(7, {0x00, 0xFF}), reply(7, {0x38, 0xFF}), reply(7, bytes)};

        const Outcome outcome = run({"5"});

        EXPECT_EQ(outcome.out, printed);
        EXPECT_EQ(outcome.err, "");
        EXPECT_EQ(outcome.status, 0);
    }
}

TEST(CommandLine, ASecondArgumentIsIgnored)
{
    fake::reset({{{board()}}});
    const Outcome alone = run({"5"});
    const auto controlsAlone = fake::state().controls;

    fake::reset({{{board()}}});
    const Outcome withSecond = run({"5", "7"});

    EXPECT_EQ(withSecond.out, alone.out);
    ASSERT_EQ(fake::state().controls.size(), controlsAlone.size());
    EXPECT_EQ(fake::state().controls[0].value, controlsAlone[0].value);
}

TEST(CommandLine, AFailedLedRequestStopsTheExchange)
{
    fake::State& state = fake::reset({{{board()}}});
    state.transfers = {failure(ETIMEDOUT, "error sending control message: Connection timed out")};

    const Outcome outcome = run({"5"});

    EXPECT_EQ(outcome.out, "");
    // Not a permission problem: no hint.
    EXPECT_EQ(outcome.err,
              "ledboard: cannot send the LED value: error sending control message: Connection "
              "timed out\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(fake::state().controls.size(), 1U);
}

TEST(CommandLine, AFailedFirstStatusReadDoesNotMatter)
{
    fake::State& state = fake::reset({{{board()}}});
    state.transfers = {reply(7), failure(EPIPE, "stalled"), reply(7, {0x28, 0x0F})};

    const Outcome outcome = run({"5"});

    EXPECT_EQ(outcome.out, "LED  d  5\nPUSH d  1\nJUMP b  0\n");
    EXPECT_EQ(outcome.status, 0);
}

TEST(CommandLine, AFailedOrShortFinalStatusReadIsAnErrorNotAReport)
{
    const std::pair<fake::Transfer, const char*> cases[] = {
        {failure(ENODEV, "error sending control message: No such device"),
         "ledboard: cannot read the status: error sending control message: No such device\n"},
        {reply(1, {0x28}),
         "ledboard: cannot read the status: the board sent 1 of 2 bytes needed\n"},
        {reply(0), "ledboard: cannot read the status: the board sent 0 of 2 bytes needed\n"}};
    for (const auto& [last, message] : cases) {
        fake::State& state = fake::reset({{{board()}}});
        state.transfers = {reply(7), reply(7), last};

        const Outcome outcome = run({"5"});

        EXPECT_EQ(outcome.out, "");
        EXPECT_EQ(outcome.err, message);
        EXPECT_EQ(outcome.status, 1);
    }
}

TEST(CommandLine, AShortButDecodableReplyIsReported)
{
    fake::State& state = fake::reset({{{board()}}});
    state.transfers = {reply(7), reply(7), reply(2, {0xFF, 0x00})};

    const Outcome outcome = run({"5"});

    EXPECT_EQ(outcome.out, "LED  d  7\nPUSH d  0\nJUMP b  f\n");
    EXPECT_EQ(outcome.status, 0);
}

TEST(CommandLine, HelpAndVersionAreOnlyExactFirstArguments)
{
    for (const char* option : {"--help", "-h", "--version"}) {
        fake::reset({{{board()}}});
        const Outcome outcome = run({option, "5"});
        EXPECT_EQ(outcome.status, 0) << option;
        EXPECT_EQ(outcome.err, "") << option;
        EXPECT_THAT(outcome.out, option == std::string("--version")
                                     ? HasSubstr("ledboard 1.")
                                     : HasSubstr("Usage: ledboard NUMBER"));
        EXPECT_THAT(fake::state().calls, IsEmpty()) << option;
    }
    // A word of "--" and a letter that is no option is refused before any USB access.
    for (const char* argument : {"--HELP", "--version=1"}) {
        fake::reset({{{board()}}});
        const Outcome outcome = run({argument});
        EXPECT_EQ(outcome.status, 2) << argument;
        EXPECT_EQ(outcome.out, "") << argument;
        EXPECT_THAT(outcome.err, testing::StartsWith(std::string("ledboard: unknown option ") +
                                                     argument + "; did you mean --"));
        EXPECT_THAT(fake::state().calls, IsEmpty()) << argument;
    }
    // Anything else is a number, as atoi reads it: these all send LED value 0.
    for (const char* argument : {"-help", " --help", "-v", "--"}) {
        fake::reset({{{board()}}});
        const Outcome outcome = run({argument});
        EXPECT_EQ(outcome.out, "LED  d  5\nPUSH d  1\nJUMP b  0\n") << argument;
        EXPECT_EQ(outcome.status, 0) << argument;
        ASSERT_FALSE(fake::state().controls.empty()) << argument;
        EXPECT_EQ(fake::state().controls[0].value, 0) << argument;
        // Only stderr may say more: that a word like an option was read as the number.
        EXPECT_EQ(outcome.err.find("is not an option") != std::string::npos,
                  std::string(argument).starts_with("-"))
            << argument;
    }
}

TEST(Hints, NameTheCauseEachLibusbBuildReports)
{
    // Debian's libusb 0.1.12 and libusb-compat report a refused board's string reads differently.
    const std::pair<int, const char*> cases[] = {
        {-EPERM, "no permission to write its device node"},
        {-EACCES, "no permission to write its device node"},
        {-EBADF, "its device node could not be opened (was it unplugged?)"},
        {-ENODEV, "it was unplugged (No such device)"},
        {-ENXIO, "it was unplugged (No such device or address)"},
        {-EINVAL, "it has no product or manufacturer string"},
        {-ETIMEDOUT, "it does not answer its string requests (Connection timed out); replug it "
                     "to try again"},
        {0, "its product or manufacturer string reads back empty (libusb 0.1.12 reads a string "
            "of 63 or more characters as empty)"},
    };
    for (const auto& [result, cause] : cases) {
        fake::Device refused = board();
        refused.manufacturerRead = result;
        fake::reset({{{other()}}, {{other(), refused}}});

        const Outcome outcome = run({"5"});

        EXPECT_EQ(outcome.out, "Plugin your USB device1 \n");
        EXPECT_EQ(outcome.status, 0);
        EXPECT_THAT(outcome.err, testing::StartsWith(std::string("ledboard: the board at 002/002 "
                                                                 "cannot be used: ") +
                                                     cause + "\n"));
    }
}

TEST(Hints, LibusbCompatsOpenFailureNamesItsCause)
{
    // libusb-compat's usb_open gives no handle and sets errno; EACCES is a node the user may not
    // write, with the same fix as 0.1.12's EPERM on the first request.
    const std::pair<int, const char*> cases[] = {
        {EACCES, "no permission to write its device node\nledboard: "},
        {ENODEV, "it was unplugged (No such device)\n"},
        {EIO, "its device node could not be opened (Input/output error)\n"},
        {0, "its device node could not be opened (was it unplugged?)\n"},
    };
    for (const auto& [error, cause] : cases) {
        fake::Device refused = board();
        refused.opens = false;
        refused.openErrno = error;
        fake::reset({{{refused}}});

        const Outcome outcome = run({"--status"});

        EXPECT_EQ(outcome.status, 3);
        EXPECT_THAT(outcome.err, testing::StartsWith(std::string("ledboard: the board at 001/001 "
                                                                 "cannot be used: ") +
                                                     cause));
        EXPECT_THAT(fake::state().calls, testing::Not(testing::Contains(HasSubstr("string"))));
    }
}

TEST(Hints, TheLibraryBuiltWithDecidesTheWords)
{
    const auto refusal = [](UsbFlavor flavor) {
        const std::unique_ptr<std::FILE, decltype(&std::fclose)> err{std::tmpfile(), &std::fclose};
        explainRefusal(err.get(), {"001", "002"}, {Refusal::StringsEmpty, 0}, flavor);
        return contents(err.get());
    };
    EXPECT_THAT(refusal(UsbFlavor::Original), HasSubstr("libusb 0.1.12 reads a string of 63"));
    EXPECT_EQ(refusal(UsbFlavor::Compat), "ledboard: the board at 001/002 cannot be used: its "
                                          "product or manufacturer string reads back empty\n");
    EXPECT_STREQ(unlistedWords(UsbFlavor::Original), "not readable");
    EXPECT_STREQ(unlistedWords(UsbFlavor::Compat), "not listed by libusb");
}

TEST(Permissions, NoHintWithoutABoard)
{
    fake::reset({{{other(), other(0x1384, 0x8889)}}});
    const Outcome outcome = run({"5"});
    EXPECT_EQ(outcome.out, "Plugin your USB device1 \n");
    EXPECT_EQ(outcome.err, "");
}

TEST(Permissions, ADeniedTransferGetsTheSameHint)
{
    for (const int denied : {EPERM, EACCES}) {
        fake::State& state = fake::reset({{{board()}}});
        state.transfers = {failure(denied, "error sending control message: denied")};

        const Outcome outcome = run({"5"});

        EXPECT_EQ(outcome.status, 1);
        EXPECT_THAT(outcome.err, testing::StartsWith("ledboard: cannot send the LED value: error "
                                                     "sending control message: denied\n"));
        // Then what to do, which depends on the user and on the rules installed.
        EXPECT_THAT(outcome.err, testing::MatchesRegex("[^\n]*\n(ledboard: [^\n]*\n)+"));
    }
}

TEST(CommandLine, ClosesTheBoardWhenDone)
{
    fake::reset({{{board()}}});
    run({"5"});
    EXPECT_EQ(fake::state().openHandles, 0);
    EXPECT_EQ(fake::state().calls.back(), "usb_close 001/001");
}

} // namespace

namespace {

TEST(List, SortsBoardsByBusAndDeviceNumberWhateverTheLibrarysOrder)
{
    // libusb-compat lists busses and devices in the reverse of Debian's order.
    fake::Device serial = board();
    serial.name = "010";
    serial.serial = "A\t17"; // a tab would split the line's fields
    fake::Device denied = board();
    denied.name = "002";
    denied.productRead = -EPERM;
    fake::Device plain = board();
    plain.name = "003";
    fake::reset({{.devices = {plain}, .name = "002"},
                 {.devices = {serial, other(), denied}, .name = "001"}});

    const Outcome outcome = run({"--list"});

    // No sysfs here: the port path, the last field, is empty.
    EXPECT_EQ(outcome.out, "001/002\tunusable\tno permission\t\n"
                           "001/010\tusable\txxxxxx\txxxxx\tA?17\t\n"
                           "002/003\tusable\txxxxxx\txxxxx\t\t\n");
    EXPECT_EQ(outcome.status, 0);
    EXPECT_EQ(fake::state().openHandles, 0);
}

TEST(Watch, PrintsTheFirstStatusThenOnlyChanges)
{
    fake::State& state = fake::reset({{{board()}}});
    const auto status = [](std::vector<unsigned char> bytes) { return reply(7, std::move(bytes)); };
    // A failed read is tried again; three in a row end the watch.
    state.transfers = {status({0x68, 0x0F}), status({0x68, 0x0F}), status({0x28, 0x0F}),
                       status({0x28, 0x0F}), status({0x28, 0x0E}), reply(1, {0x28}),
                       status({0x00, 0x00}), reply(1, {0x28}),     reply(0),
                       reply(1, {0x28})};

    const Outcome outcome = run({"--watch", "10"});

    EXPECT_EQ(outcome.out, "5 0 0\n5 1 0\n5 1 1\n0 1 f\n");
    const std::string retry = "ledboard: a status read failed: the board sent 1 of 2 bytes "
                              "needed; trying again\n";
    EXPECT_EQ(outcome.err, retry + retry +
                               "ledboard: a status read failed: the board sent 0 of 2 bytes "
                               "needed; trying again\n"
                               "ledboard: cannot read the status: the board sent 1 of 2 bytes "
                               "needed\n");
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(fake::state().controls.size(), 10U);
}

} // namespace
