#include "hints.hpp"

#include <unistd.h>

#include <cerrno>
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

const char* unlistedWords(UsbFlavor flavor) noexcept
{
    // libusb 0.1.12 leaves out a node it cannot read; libusb-1.0 lists from sysfs, so there the
    // cause is not the node.
    return flavor == UsbFlavor::Original ? "not readable" : "not listed by libusb";
}

void printRuleSentence(std::FILE* out, std::span<const char* const> ruleDirectories,
                       const char* installedRule)
{
    if (const auto installed = findInstalledRule(ruleDirectories)) {
        std::fprintf(out, "The udev rule %s/%s grants it;\nsee ledboard(1).\n",
                     ruleDirectories[*installed], UDEV_RULE_NAME);
    } else if (access(installedRule, F_OK) == 0) {
        std::fprintf(out,
                     "The udev rule grants it once copied from %s\nto /etc/udev/rules.d; "
                     "see ledboard(1).\n",
                     installedRule);
    } else {
        std::fprintf(out,
                     "The udev rule %s (udev/ in ledboard's sources) grants it once\ninstalled; "
                     "see ledboard(1).\n",
                     UDEV_RULE_NAME);
    }
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

void explainRefusal(std::FILE* err, DeviceLocation location, const Acceptance& why,
                    UsbFlavor flavor)
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
        // libusb 0.1.12 keeps the handle of a node that would not open, and its first request
        // fails with EBADF: the node went between the listing and the open.
        if (why.error != 0 && why.error != -EBADF) {
            std::fprintf(err, "its device node could not be opened (%s)\n",
                         std::strerror(-why.error));
        } else {
            std::fputs("its device node could not be opened (was it unplugged?)\n", err);
        }
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
        std::fputs("its product or manufacturer string reads back empty", err);
        std::fputs(flavor == UsbFlavor::Original ? " (libusb 0.1.12 reads a string of 63 or more "
                                                   "characters as empty)\n"
                                                 : "\n",
                   err);
        return;
    }
}

bool explainUnlisted(std::FILE* err, const BusAddress* at, UsbFlavor flavor)
{
    const auto attached = findAttachedInSysfs(DEVICE_VENDOR_ID, DEVICE_PRODUCT_ID, at);
    if (!attached) {
        return false;
    }
    std::fprintf(err, "ledboard: a board is attached at %03u/%03u, but libusb cannot list it: ",
                 attached->bus, attached->device);
    if (flavor == UsbFlavor::Compat) {
        // libusb-1.0 finds devices in sysfs, whatever their node's mode: its own trace says more.
        std::fputs("run with LIBUSB_DEBUG=4 to see why\n", err);
        return true;
    }
    std::fprintf(err, "its device node is not readable%s\n",
                 geteuid() == 0 ? " (is usbfs mounted?)" : "");
    if (geteuid() != 0) {
        explainPermission(err);
    }
    return true;
}
