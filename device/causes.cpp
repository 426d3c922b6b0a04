#include "causes.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <memory>

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

// One sysfs attribute as a number. The kernel ends each value with a newline; umockdev does not.
std::optional<unsigned> readNumber(const char* device, const char* devices, const char* attribute,
                                   int base)
{
    std::array<char, PATH_MAX> path{};
    std::snprintf(path.data(), path.size(), "%s/%s/%s", devices, device, attribute);
    const int fd = open(path.data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return std::nullopt;
    }
    std::array<char, 16> text{};
    const ssize_t length = read(fd, text.data(), text.size() - 1);
    close(fd);
    if (length <= 0) {
        return std::nullopt;
    }
    unsigned value = 0;
    bool digits = false;
    for (ssize_t i = 0; i < length && text[static_cast<std::size_t>(i)] != '\n'; ++i) {
        const char c = text[static_cast<std::size_t>(i)];
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        }
        if (digit < 0 || value > UINT_MAX / 16) {
            return std::nullopt;
        }
        value = value * static_cast<unsigned>(base) + static_cast<unsigned>(digit);
        digits = true;
    }
    return digits ? std::optional(value) : std::nullopt;
}

} // namespace

std::optional<BusAddress> findAttachedInSysfs(int vendor, int product, const BusAddress* at,
                                              const char* devices)
{
    const std::unique_ptr<DIR, DirectoryCloser> directory{opendir(devices)};
    if (!directory) {
        return std::nullopt;
    }
    std::optional<BusAddress> found;
    while (const dirent* entry = readdir(directory.get())) {
        const char* name = entry->d_name;
        const auto vendorId = readNumber(name, devices, "idVendor", 16);
        const auto productId = readNumber(name, devices, "idProduct", 16);
        if (!vendorId || !productId || static_cast<int>(*vendorId) != vendor ||
            static_cast<int>(*productId) != product) {
            continue;
        }
        const auto bus = readNumber(name, devices, "busnum", 10);
        const auto address = readNumber(name, devices, "devnum", 10);
        if (!bus || !address) {
            continue;
        }
        const BusAddress here{*bus, *address};
        const bool earlier = !found || here.bus < found->bus ||
                             (here.bus == found->bus && here.device < found->device);
        if ((at == nullptr || *at == here) && earlier) {
            found = here;
        }
    }
    return found;
}

std::optional<std::size_t> findInstalledRule(std::span<const char* const> directories)
{
    for (std::size_t i = 0; i < directories.size(); ++i) {
        std::array<char, PATH_MAX> path{};
        std::snprintf(path.data(), path.size(), "%s/%s", directories[i], UDEV_RULE_NAME);
        if (access(path.data(), F_OK) == 0) {
            return i;
        }
    }
    return std::nullopt;
}
