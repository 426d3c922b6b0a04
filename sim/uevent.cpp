#include "uevent.hpp"

#include "sysfs_record.hpp"

#include <arpa/inet.h>
#include <glob.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace sim {

namespace {

// The header libudev puts before a device's properties (systemd, device-monitor.c).
struct MonitorHeader {
    std::array<char, 8> prefix;
    std::uint32_t magic;
    std::uint32_t headerSize;
    std::uint32_t propertiesOffset;
    std::uint32_t propertiesLength;
    std::uint32_t subsystemHash;
    std::uint32_t devtypeHash;
    std::uint32_t tagBloomHigh;
    std::uint32_t tagBloomLow;
};
constexpr std::uint32_t MONITOR_MAGIC = 0xfeedcafe;

// MurmurHash2, which libudev's socket filter compares subsystem and devtype by.
std::uint32_t murmurHash2(const std::string& text)
{
    constexpr std::uint32_t MIX = 0x5bd1e995;
    constexpr int SHIFT = 24;
    auto length = static_cast<std::uint32_t>(text.size());
    std::uint32_t hash = length;
    const auto* data = reinterpret_cast<const unsigned char*>(text.data());
    while (length >= 4) {
        std::uint32_t word = 0;
        std::memcpy(&word, data, sizeof word);
        word *= MIX;
        word ^= word >> SHIFT;
        word *= MIX;
        hash *= MIX;
        hash ^= word;
        data += 4;
        length -= 4;
    }
    switch (length) {
    case 3:
        hash ^= static_cast<std::uint32_t>(data[2]) << 16U;
        [[fallthrough]];
    case 2:
        hash ^= static_cast<std::uint32_t>(data[1]) << 8U;
        [[fallthrough]];
    case 1:
        hash ^= data[0];
        hash *= MIX;
        break;
    default:
        break;
    }
    hash ^= hash >> 13U;
    hash *= MIX;
    hash ^= hash >> 15U;
    return hash;
}

struct GlobFree {
    void operator()(glob_t* found) const noexcept { globfree(found); }
};

} // namespace

void sendUevent(const std::string& root, const SimulatedDevice& device, const std::string& action)
{
    static std::atomic<unsigned long long> sequence{1};
    const std::string subsystem = "usb";
    const std::string devtype = "usb_device";
    const std::string name = device.name();
    std::vector<char> properties;
    const auto add = [&](const std::string& property) {
        properties.insert(properties.end(), property.begin(), property.end());
        properties.push_back('\0');
    };
    add("ACTION=" + action);
    add("DEVPATH=" + sysfsPath(device).substr(4)); // without /sys, as the kernel sends it
    add("SUBSYSTEM=" + subsystem);
    add("SEQNUM=" + std::to_string(sequence++));
    add("DEVNAME=" + device.nodePath());
    add("DEVTYPE=" + devtype);
    add("BUSNUM=" + name.substr(0, 3));
    add("DEVNUM=" + name.substr(4));

    MonitorHeader header{};
    std::memcpy(header.prefix.data(), "libudev", sizeof header.prefix);
    header.magic = htonl(MONITOR_MAGIC);
    header.headerSize = sizeof header;
    header.propertiesOffset = sizeof header;
    header.propertiesLength = static_cast<std::uint32_t>(properties.size());
    header.subsystemHash = htonl(murmurHash2(subsystem));
    header.devtypeHash = htonl(murmurHash2(devtype));
    std::array<iovec, 2> parts{{{&header, sizeof header}, {properties.data(), properties.size()}}};

    // The preload gives each monitor a socket named eventN in the testbed.
    glob_t found{};
    const std::unique_ptr<glob_t, GlobFree> release(&found);
    if (glob((root + "/event[0-9]*").c_str(), GLOB_NOSORT, nullptr, &found) != 0) {
        return;
    }
    for (std::size_t i = 0; i < found.gl_pathc; ++i) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, found.gl_pathv[i], sizeof address.sun_path - 1);
        const int socket = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (socket < 0) {
            continue;
        }
        msghdr message{};
        message.msg_name = &address;
        message.msg_namelen = sizeof address;
        message.msg_iov = parts.data();
        message.msg_iovlen = parts.size();
        sendmsg(socket, &message, 0); // a monitor that has gone away refuses: nothing to do
        close(socket);
    }
}

} // namespace sim
