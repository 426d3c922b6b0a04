#include "testbed.hpp"

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <map>
#include <stdexcept>

namespace sim {

namespace {

// The hub driver's answer to USBDEVFS_HUB_PORTINFO: the port count, then the address of the
// device on each port (0 for none). The kernel defines it privately (drivers/usb/core/hub.c);
// its size is part of the ioctl number.
struct HubPortInfo {
    char ports;
    std::array<char, 127> port;
};
constexpr unsigned HUB_PORTINFO = _IOR('U', 19, HubPortInfo);

// usbfs's character-device major number (Documentation/admin-guide/devices.txt).
constexpr int USB_DEVICE_MAJOR = 189;
constexpr int ADDRESSES_PER_BUS = 128;

struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

// Node contents as umockdev records take them: hexadecimal, upper case only.
std::string hex(const std::vector<std::uint8_t>& bytes)
{
    std::string text;
    for (const std::uint8_t byte : bytes) {
        std::array<char, 3> digits{};
        std::snprintf(digits.data(), digits.size(), "%02X", byte);
        text += digits.data();
    }
    return text;
}

std::string idText(std::uint16_t id)
{
    std::array<char, 5> text{};
    std::snprintf(text.data(), text.size(), "%04x", id);
    return text.data();
}

// The record umockdev_testbed_add_from_string() takes: the sysfs device with its attributes,
// and its usbfs node, whose content libusb 0.1 reads as the device's descriptors.
std::string record(const SimulatedDevice& device)
{
    const int bus = device.bus();
    const int address = device.address();
    const std::string controller = "/devices/pci0000:00/0000:00:1d.0/usb" + std::to_string(bus);
    const std::string sysfs =
        device.isHub() ? controller
                       : controller + "/" + std::to_string(bus) + "-" + std::to_string(address - 1);
    const int minor = (bus - 1) * ADDRESSES_PER_BUS + address - 1;
    const DevicePlan& plan = device.plan();
    std::string text = "P: " + sysfs + "\n";
    text += "N: bus/usb/" + device.name() + "=" + hex(device.descriptors()) + "\n";
    text += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\n";
    text += "E: DEVNAME=" + device.nodePath() + "\n";
    text +=
        "E: BUSNUM=" + device.name().substr(0, 3) + "\nE: DEVNUM=" + device.name().substr(4) + "\n";
    text += "A: busnum=" + std::to_string(bus) + "\nA: devnum=" + std::to_string(address) + "\n";
    text += "A: idVendor=" + idText(plan.vendor) + "\nA: idProduct=" + idText(plan.product) + "\n";
    if (plan.productName) {
        text += "A: product=" + *plan.productName + "\n";
    }
    if (plan.manufacturerName) {
        text += "A: manufacturer=" + *plan.manufacturerName + "\n";
    }
    if (plan.serialNumber) {
        text += "A: serial=" + *plan.serialNumber + "\n";
    }
    text += "A: dev=" + std::to_string(USB_DEVICE_MAJOR) + ":" + std::to_string(minor) + "\n";
    return text + "\n";
}

// Directory entries in readdir order, without the dot entries.
std::vector<std::string> listing(const std::string& directory)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> dir{opendir(directory.c_str()), &closedir};
    if (!dir) {
        throw std::runtime_error("cannot list " + directory + ": " + std::strerror(errno));
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

// Whether directories under `parent` list their entries newest first (tmpfs on the kernels seen
// so far) rather than oldest first. Other orders show up in checkListingOrder().
bool listsNewestFirst(const std::string& parent)
{
    const std::string probe = parent + "/order-probe";
    if (mkdir(probe.c_str(), 0700) != 0) {
        throw std::runtime_error("cannot create " + probe + ": " + std::strerror(errno));
    }
    for (const char* name : {"/1", "/2"}) {
        std::FILE* file = std::fopen((probe + name).c_str(), "w");
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    const bool newestFirst = listing(probe) == std::vector<std::string>{"2", "1"};
    for (const char* name : {"/1", "/2"}) {
        unlink((probe + name).c_str());
    }
    rmdir(probe.c_str());
    return newestFirst;
}

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const auto& name : names) {
        text += (text.empty() ? "" : " ") + name;
    }
    return text;
}

} // namespace

void GObjectUnref::operator()(void* object) const noexcept
{
    g_object_unref(object);
}

void FileCloser::operator()(std::FILE* file) const noexcept
{
    std::fclose(file);
}

Testbed::Testbed(const Config& config)
    : testbed_(umockdev_testbed_new()), devices_(layOut(config)), logTimes_(config.logTimes)
{
    gchar* rootDir = umockdev_testbed_get_root_dir(testbed_.get());
    root_ = rootDir;
    g_free(rootDir);

    if (!config.logPath.empty()) {
        log_.reset(std::fopen(config.logPath.c_str(), "w"));
        if (!log_) {
            throw std::runtime_error("cannot write the log " + config.logPath + ": " +
                                     std::strerror(errno));
        }
    }
    // libusb lists busses and devices in readdir order. On tmpfs that is the order of creation,
    // one way or the other, so the nodes are made in the order that lists them as wanted;
    // checkListingOrder() makes sure it worked.
    if (listsNewestFirst(root_)) {
        for (auto device = devices_.rbegin(); device != devices_.rend(); ++device) {
            addDevice(*device);
        }
    } else {
        for (const SimulatedDevice& device : devices_) {
            addDevice(device);
        }
    }
    checkListingOrder();
    if (config.allUsers) {
        openToAllUsers();
    }
}

// umockdev makes the testbed for its own user: the root directory 0700 and the sockets that carry
// ioctls writable by the owner only, so that another user's open() of a device node fails.
void Testbed::openToAllUsers() const
{
    const std::string sockets = root_ + "/ioctl";
    const auto open = [](const std::string& path, mode_t mode) {
        if (chmod(path.c_str(), mode) != 0) {
            throw std::runtime_error("cannot open " + path +
                                     " to all users: " + std::strerror(errno));
        }
    };
    open(root_, 0755);
    open(sockets + "/_default", 0666);
    for (const SimulatedDevice& device : devices_) {
        open(sockets + device.nodePath(), 0666);
    }
}

Testbed::~Testbed()
{
    // Handlers first: they point back into this object.
    for (const SimulatedDevice& device : devices_) {
        umockdev_testbed_detach_ioctl(testbed_.get(), device.nodePath().c_str(), nullptr);
    }
    handlers_.clear();
}

void Testbed::addDevice(const SimulatedDevice& device)
{
    GError* raw = nullptr;
    if (umockdev_testbed_add_from_string(testbed_.get(), record(device).c_str(), &raw) == FALSE) {
        const Error error{raw};
        throw std::runtime_error("cannot add " + device.name() +
                                 " to the testbed: " + error->message);
    }
    const auto index = static_cast<std::size_t>(&device - devices_.data());
    auto& endpoint = endpoints_.emplace_back(std::make_unique<Endpoint>(Endpoint{this, index}));
    auto& handler = handlers_.emplace_back(umockdev_ioctl_base_new());
    g_signal_connect(handler.get(), "handle-ioctl", G_CALLBACK(onIoctl), endpoint.get());
    if (umockdev_testbed_attach_ioctl(testbed_.get(), device.nodePath().c_str(), handler.get(),
                                      &raw) == FALSE) {
        const Error error{raw};
        throw std::runtime_error("cannot attach " + device.name() + ": " + error->message);
    }
    if (const auto mode = device.plan().mode) {
        const std::string node = root_ + device.nodePath();
        if (chmod(node.c_str(), *mode) != 0) {
            throw std::runtime_error("cannot change the mode of " + node + ": " +
                                     std::strerror(errno));
        }
    }
}

void Testbed::checkListingOrder() const
{
    std::map<std::string, std::vector<std::string>> wanted; // bus -> device names in order
    std::vector<std::string> busses;
    for (const SimulatedDevice& device : devices_) {
        const std::string name = device.name();
        const std::string bus = name.substr(0, 3);
        if (wanted.find(bus) == wanted.end()) {
            busses.push_back(bus);
        }
        wanted[bus].push_back(name.substr(4));
    }
    const std::string usb = root_ + "/dev/bus/usb";
    checkOrder(usb, "", busses);
    for (const auto& bus : busses) {
        checkOrder(usb, bus, wanted[bus]);
    }
}

// `bus` empty: the list of busses; otherwise the devices on that bus.
void Testbed::checkOrder(const std::string& usb, const std::string& bus,
                         const std::vector<std::string>& wanted) const
{
    const auto listed = listing(bus.empty() ? usb : usb + "/" + bus);
    if (listed != wanted) {
        const std::string what = bus.empty() ? "busses" : "bus " + bus;
        throw std::runtime_error("the testbed lists " + what + " as '" + joined(listed) +
                                 "', not '" + joined(wanted) + "' (is " + root_ + " on tmpfs?)");
    }
}

gboolean Testbed::onIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                          gpointer endpoint)
{
    const auto* target = static_cast<const Endpoint*>(endpoint);
    return target->testbed->handleIoctl(target->device, client) ? TRUE : FALSE;
}

bool Testbed::handleIoctl(std::size_t index, UMockdevIoctlClient* client)
{
    const std::lock_guard lock(mutex_);
    SimulatedDevice& device = devices_[index];
    const gulong request = umockdev_ioctl_client_get_request(client);
    switch (request) {
    case USBDEVFS_CONNECTINFO: {
        UMockdevIoctlData* data = umockdev_ioctl_data_resolve(
            umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_connectinfo), nullptr);
        if (data == nullptr) {
            complete(client, device.name() + " CONNECTINFO result=", -1, EFAULT);
            return true;
        }
        usbdevfs_connectinfo info{};
        info.devnum = static_cast<unsigned>(device.address());
        info.slow = device.plan().board ? 1 : 0; // the board is a low-speed device
        std::memcpy(data->data, &info, sizeof info);
        complete(client, device.name() + " CONNECTINFO result=", 0, 0);
        return true;
    }
    case USBDEVFS_CONTROL:
        handleControl(device, client);
        return true;
    case USBDEVFS_IOCTL:
        handleHubIoctl(device, client);
        return true;
    default: {
        std::array<char, 32> code{};
        std::snprintf(code.data(), code.size(), "0x%08lx", request);
        complete(client, device.name() + " IOCTL request=" + code.data() + " result=", -1, ENOTTY);
        return true;
    }
    }
}

void Testbed::handleControl(SimulatedDevice& device, UMockdevIoctlClient* client)
{
    UMockdevIoctlData* transfer = umockdev_ioctl_data_resolve(
        umockdev_ioctl_client_get_arg(client), 0, sizeof(usbdevfs_ctrltransfer), nullptr);
    if (transfer == nullptr) {
        complete(client, device.name() + " CONTROL result=", -1, EFAULT);
        return;
    }
    usbdevfs_ctrltransfer raw{};
    std::memcpy(&raw, transfer->data, sizeof raw);
    const ControlSetup setup{raw.bRequestType, raw.bRequest, raw.wValue, raw.wIndex, raw.wLength};
    const ControlReply reply = device.control(setup);
    const std::string line = describeControl(device, setup, reply);
    // The line carries its own result; complete() must not append another.
    const auto logAndComplete = [&](long result, int error) {
        log(line);
        umockdev_ioctl_client_complete(client, result, error);
    };
    if (reply.error != 0) {
        logAndComplete(-1, reply.error);
        return;
    }
    if (!reply.data.empty()) {
        UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
            transfer, offsetof(usbdevfs_ctrltransfer, data), setup.length, nullptr);
        if (buffer == nullptr) {
            logAndComplete(-1, EFAULT);
            return;
        }
        std::memcpy(buffer->data, reply.data.data(), reply.data.size());
    }
    logAndComplete(static_cast<long>(reply.data.size()), 0);
}

void Testbed::handleHubIoctl(SimulatedDevice& device, UMockdevIoctlClient* client)
{
    const std::string line = device.name() + " IOCTL HUB_PORTINFO result=";
    // libusb 0.1 sends this to every device at the end of its rescan: the last moment before the
    // tool opens anything, so a vanishing node goes now.
    if (device.plan().vanish) {
        unlink((root_ + device.nodePath()).c_str());
    }
    if (device.plan().denyAll) {
        complete(client, line, -1, EPERM);
        return;
    }
    UMockdevIoctlData* command = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                             0, sizeof(usbdevfs_ioctl), nullptr);
    if (command == nullptr) {
        complete(client, line, -1, EFAULT);
        return;
    }
    usbdevfs_ioctl raw{};
    std::memcpy(&raw, command->data, sizeof raw);
    if (!device.isHub() || static_cast<unsigned>(raw.ioctl_code) != HUB_PORTINFO) {
        // What usbfs answers when no driver with an ioctl is bound to the interface.
        complete(client, line, -1, ENOTTY);
        return;
    }
    UMockdevIoctlData* data = umockdev_ioctl_data_resolve(command, offsetof(usbdevfs_ioctl, data),
                                                          sizeof(HubPortInfo), nullptr);
    if (data == nullptr) {
        complete(client, line, -1, EFAULT);
        return;
    }
    HubPortInfo info{};
    for (const SimulatedDevice& other : devices_) {
        if (other.bus() == device.bus() && !other.isHub()) {
            info.port.at(static_cast<std::size_t>(info.ports)) = static_cast<char>(other.address());
            ++info.ports;
        }
    }
    std::memcpy(data->data, &info, sizeof info);
    complete(client, line, info.ports + 1, 0); // the hub driver returns the port count plus one
}

void Testbed::complete(UMockdevIoctlClient* client, const std::string& line, long result, int error)
{
    log(line + describeResult(result, error));
    umockdev_ioctl_client_complete(client, result, error);
}

void Testbed::log(const std::string& line)
{
    if (!log_ || logError_ != 0) {
        return;
    }
    if (logTimes_) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        std::fprintf(log_.get(), "%lld.%06ld ", static_cast<long long>(now.tv_sec),
                     now.tv_nsec / 1000);
    }
    std::fprintf(log_.get(), "%s\n", line.c_str());
    // Written at once, so that a test reading the log while the command runs sees every line.
    if (std::fflush(log_.get()) != 0 || std::ferror(log_.get()) != 0) {
        logError_ = errno != 0 ? errno : EIO;
    }
}

int Testbed::logError()
{
    const std::lock_guard lock(mutex_);
    return logError_;
}

} // namespace sim
