#include "sysfs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <memory>

namespace {

constexpr unsigned DECIMAL_BASE = 10;
constexpr unsigned HEX_BASE = 16;
constexpr unsigned MAX_USB_ID = 0xFFFF; // idVendor and idProduct are 16-bit fields

// The longest attribute value read: a number of a few digits and the kernel's newline. A longer
// file holds no number this code reads.
constexpr std::size_t ATTRIBUTE_LENGTH = 32;

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor()
    {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

constexpr bool isDigit(char c) noexcept
{
    return c >= '0' && c <= '9';
}

// A decimal number from 1 to `high` at text[at], without a leading zero; moves `at` past it.
bool takePositive(std::string_view text, std::size_t& at, unsigned high) noexcept
{
    if (at >= text.size() || text[at] < '1' || text[at] > '9') {
        return false;
    }
    unsigned value = 0;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        value = value * DECIMAL_BASE + static_cast<unsigned>(text[at] - '0');
        if (value > high) {
            return false; // also stops any overflow
        }
    }
    return true;
}

int digitValue(char c, unsigned base) noexcept
{
    if (isDigit(c)) {
        return c - '0';
    }
    if (base == HEX_BASE && c >= 'a' && c <= 'f') {
        return c - 'a' + static_cast<int>(DECIMAL_BASE);
    }
    if (base == HEX_BASE && c >= 'A' && c <= 'F') {
        return c - 'A' + static_cast<int>(DECIMAL_BASE);
    }
    return -1;
}

// One attribute of a device as a number up to `high`: digits and nothing else but a newline at
// the end. The kernel ends each value with one; umockdev may not.
std::optional<unsigned> readNumber(const char* devices, const char* device, const char* attribute,
                                   unsigned base, unsigned high)
{
    std::array<char, PATH_MAX> path{};
    const int pathLength =
        std::snprintf(path.data(), path.size(), "%s/%s/%s", devices, device, attribute);
    if (pathLength < 0 || static_cast<std::size_t>(pathLength) >= path.size()) {
        return std::nullopt;
    }
    const FileDescriptor file{open(path.data(), O_RDONLY | O_CLOEXEC)};
    if (file.get() < 0) {
        return std::nullopt;
    }
    std::array<char, ATTRIBUTE_LENGTH> text{};
    const ssize_t length = read(file.get(), text.data(), text.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= text.size()) {
        return std::nullopt;
    }
    std::string_view value(text.data(), static_cast<std::size_t>(length));
    if (value.back() == '\n') {
        value.remove_suffix(1);
    }
    if (value.empty()) {
        return std::nullopt;
    }
    unsigned number = 0;
    for (const char c : value) {
        const int digit = digitValue(c, base);
        if (digit < 0) {
            return std::nullopt;
        }
        number = number * base + static_cast<unsigned>(digit);
        if (number > high) {
            return std::nullopt; // also stops any overflow
        }
    }
    return number;
}

// The device in the folder `name` (a port path) of `devices`, if its attributes read.
std::optional<SysfsDevice> readDevice(const char* devices, const PortPath& name)
{
    const char* folder = name.text.data();
    const auto bus = readNumber(devices, folder, "busnum", DECIMAL_BASE, UINT_MAX);
    const auto address = readNumber(devices, folder, "devnum", DECIMAL_BASE, UINT_MAX);
    const auto vendor = readNumber(devices, folder, "idVendor", HEX_BASE, MAX_USB_ID);
    const auto product = readNumber(devices, folder, "idProduct", HEX_BASE, MAX_USB_ID);
    if (!bus || !address || !vendor || !product) {
        return std::nullopt;
    }
    return SysfsDevice{BusAddress{*bus, *address}, name, static_cast<std::uint16_t>(*vendor),
                       static_cast<std::uint16_t>(*product)};
}

// The text as a PortPath, or an empty one when it is not a port path.
PortPath portPathOf(std::string_view text) noexcept
{
    PortPath path;
    if (isPortPath(text)) {
        // isPortPath bounds the length below PORT_PATH_LENGTH, so the NUL stays.
        std::copy(text.begin(), text.end(), path.text.begin());
    }
    return path;
}

// Calls visit(device) for every device in `devices` that has a port path and readable
// attributes, in directory order, until it returns false.
template <typename Visit>
void forEachDevice(const char* devices, Visit visit)
{
    const std::unique_ptr<DIR, DirectoryCloser> directory{opendir(devices)};
    if (!directory) {
        return;
    }
    while (const dirent* entry = readdir(directory.get())) {
        const PortPath name = portPathOf(entry->d_name);
        if (name.empty()) {
            continue;
        }
        const auto device = readDevice(devices, name);
        if (device && !visit(*device)) {
            return;
        }
    }
}

bool isEarlier(const BusAddress& a, const BusAddress& b) noexcept
{
    return a.bus < b.bus || (a.bus == b.bus && a.device < b.device);
}

} // namespace

bool isPortPath(std::string_view text) noexcept
{
    std::size_t at = 0;
    if (!takePositive(text, at, MAX_BUS_NUMBER) || at >= text.size() || text[at] != '-') {
        return false;
    }
    for (std::size_t ports = 1; ports <= MAX_PORT_PATH_PORTS; ++ports) {
        ++at; // past the '-' or '.'
        if (!takePositive(text, at, MAX_PORT_NUMBER)) {
            return false;
        }
        if (at == text.size()) {
            return true;
        }
        if (text[at] != '.') {
            return false;
        }
    }
    return false; // more ports than a chain of hubs can have
}

std::size_t listSysfsDevices(int vendor, int product, std::span<SysfsDevice> out,
                             const char* devices)
{
    std::size_t count = 0;
    forEachDevice(devices, [&](const SysfsDevice& device) {
        if (device.vendor != vendor || device.product != product) {
            return true;
        }
        // Insert in order, keeping the earliest out.size(): one pass over a directory whose
        // order differs between filesystems.
        std::size_t at = count;
        while (at > 0 && isEarlier(device.address, out[at - 1].address)) {
            --at;
        }
        if (at >= out.size()) {
            return true;
        }
        for (std::size_t i = std::min(count, out.size() - 1); i > at; --i) {
            out[i] = out[i - 1];
        }
        out[at] = device;
        count = std::min(count + 1, out.size());
        return true;
    });
    return count;
}

std::optional<SysfsDevice> sysfsDeviceAt(BusAddress address, const char* devices)
{
    std::optional<SysfsDevice> found;
    forEachDevice(devices, [&](const SysfsDevice& device) {
        if (device.address == address) {
            found = device;
        }
        return !found;
    });
    return found;
}

PortPath sysfsPathOf(BusAddress address, const char* devices)
{
    const auto device = sysfsDeviceAt(address, devices);
    return device ? device->path : PortPath{};
}

std::optional<SysfsDevice> sysfsDeviceAt(std::string_view path, const char* devices)
{
    const PortPath name = portPathOf(path);
    if (name.empty()) {
        return std::nullopt;
    }
    return readDevice(devices, name);
}
