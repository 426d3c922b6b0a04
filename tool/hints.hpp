// What the user is told when a board cannot be used: the cause in words, and the fix that fits.
#pragma once

#include "causes.hpp"
#include "ledboard_device.hpp"

#include <cstdio>
#include <span>

// Where `cmake --install` puts the udev rule; set by the build. udev reads it only under /usr.
inline constexpr const char* INSTALLED_UDEV_RULE = LEDBOARD_UDEV_RULES_DIR "/60-ledboard.rules";

// Short words for why a board cannot be used, as --list prints them.
const char* refusalWords(Refusal refusal) noexcept;

// The same for a board that sysfs shows but libusb does not list.
const char* unlistedWords(UsbFlavor flavor = USB_FLAVOR) noexcept;

// "the board at BUS/DEV cannot be used: CAUSE", and what to do about it.
void explainRefusal(std::FILE* err, DeviceLocation location, const Acceptance& why,
                    UsbFlavor flavor = USB_FLAVOR);

// When libusb lists no board (at `at`, when given): whether sysfs shows one attached that libusb
// could not list, and why. Returns false when there is none to speak of.
bool explainUnlisted(std::FILE* err, const BusAddress* at, UsbFlavor flavor = USB_FLAVOR);

// The sentence of --help that names the udev rule: the one udev reads, when one of
// `ruleDirectories` holds it; else where this build installed it, or where it comes from.
void printRuleSentence(std::FILE* out,
                       std::span<const char* const> ruleDirectories = UDEV_RULE_DIRECTORIES,
                       const char* installedRule = INSTALLED_UDEV_RULE);

// After a request to the board failed with a permission error.
void explainPermission(std::FILE* err);
