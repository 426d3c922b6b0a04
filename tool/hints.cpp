#include "hints.hpp"

#include <unistd.h>

#include <cstring>

const char* refusalWords(Refusal refusal) noexcept
{
    switch (refusal) {
    case Refusal::None:
        return "usable";
    case Refusal::NotOpened:
        return "cannot be opened";
    case Refusal::NoPermission:
        return "no permission";
    case Refusal::Unplugged:
        return "unplugged";
    case Refusal::NoStrings:
        return "has no strings";
    case Refusal::StringsFailed:
        return "does not answer its string requests";
    case Refusal::StringsEmpty:
        return "its strings read back empty";
    }
    return "unknown";
}

void explainPermission(std::FILE* err)
{
    if (geteuid() == 0) {
        std::fputs("ledboard: even root may not write it here: is the device node read-only "
                   "(a container, or /dev mounted read-only)?\n",
                   err);
        return;
    }
    const auto installed = findInstalledRule(UDEV_RULE_DIRECTORIES);
    if (installed) {
        std::fprintf(err,
                     "ledboard: the udev rule %s/%s is installed; if the board was plugged in "
                     "before it was, run\n"
                     "ledboard:   sudo udevadm control --reload && sudo udevadm trigger\n"
                     "ledboard:   and replug the board. The rule gives access to the user at the "
                     "seat; for a login\n"
                     "ledboard:   elsewhere (ssh), join the plugdev group and log in again:\n"
                     "ledboard:   sudo usermod -aG plugdev \"$USER\"\n",
                     UDEV_RULE_DIRECTORIES[*installed], UDEV_RULE_NAME);
        return;
    }
    if (access(INSTALLED_UDEV_RULE, F_OK) == 0) {
        std::fprintf(err, "ledboard: no udev rule for the board is installed: copy %s\n",
                     INSTALLED_UDEV_RULE);
    } else {
        std::fprintf(err,
                     "ledboard: no udev rule for the board is installed: copy %s from ledboard's\n"
                     "ledboard:   sources (udev/%s)\n",
                     UDEV_RULE_NAME, UDEV_RULE_NAME);
    }
    std::fputs("ledboard:   to /etc/udev/rules.d, then run\n"
               "ledboard:   sudo udevadm control --reload && sudo udevadm trigger\n"
               "ledboard:   and replug the board; or run ledboard as root\n",
               err);
}

void explainRefusal(std::FILE* err, DeviceLocation location, const Acceptance& why)
{
    std::fprintf(err, "ledboard: the board at %s/%s cannot be used: ", location.bus,
                 location.device);
    switch (why.refusal) {
    case Refusal::None:
        std::fputs("it is usable\n", err);
        return;
    case Refusal::NoPermission:
        std::fputs("no permission to write its device node\n", err);
        explainPermission(err);
        return;
    case Refusal::NotOpened:
        std::fputs("its device node could not be opened (was it unplugged?)\n", err);
        return;
    case Refusal::Unplugged:
        std::fprintf(err, "it was unplugged (%s)\n", std::strerror(-why.error));
        return;
    case Refusal::NoStrings:
        std::fputs("it has no product or manufacturer string\n", err);
        return;
    case Refusal::StringsFailed:
        std::fprintf(err, "it does not answer its string requests (%s); replug it to try again\n",
                     std::strerror(-why.error));
        return;
    case Refusal::StringsEmpty:
        std::fputs("its product or manufacturer string reads back empty (libusb 0.1.12 reads "
                   "a string of 63 or more characters as empty)\n",
                   err);
        return;
    }
}

bool explainUnlisted(std::FILE* err, const BusAddress* at)
{
    const auto attached = findAttachedInSysfs(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, at);
    if (!attached) {
        return false;
    }
    std::fprintf(
        err,
        "ledboard: a board is attached at %03u/%03u, but libusb cannot list it: its device "
        "node is not readable%s\n",
        attached->bus, attached->device, geteuid() == 0 ? " (is usbfs mounted?)" : "");
    if (geteuid() != 0) {
        explainPermission(err);
    }
    return true;
}
