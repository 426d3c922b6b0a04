#include "testbed.hpp"

#include "layout.hpp"
#include "listing.hpp"
#include "sysfs_record.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <stdexcept>

namespace sim {

namespace {

struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};
using Error = std::unique_ptr<GError, ErrorFree>;

std::string rootDirectory(UMockdevTestbed* testbed)
{
    gchar* directory = umockdev_testbed_get_root_dir(testbed);
    std::string root = directory;
    g_free(directory);
    return root;
}

} // namespace

void GObjectUnref::operator()(void* object) const noexcept
{
    g_object_unref(object);
}

Testbed::Testbed(const Config& config)
    : testbed_(umockdev_testbed_new()), root_(rootDirectory(testbed_.get())),
      devices_(layOut(config)), log_(config.logPath, config.logTimes), usbfs_(devices_, log_, root_)
{
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
    if (umockdev_testbed_add_from_string(testbed_.get(), sysfsRecord(device).c_str(), &raw) ==
        FALSE) {
        const Error error{raw};
        throw std::runtime_error("cannot add " + device.name() +
                                 " to the testbed: " + error->message);
    }
    umockdev_testbed_set_attribute(testbed_.get(), sysfsPath(device).c_str(), "dev",
                                   sysfsDevAttribute(device).c_str());
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
    checkListing(usb, busses, "busses");
    for (const auto& bus : busses) {
        checkListing(usb + "/" + bus, wanted[bus], "bus " + bus);
    }
}

gboolean Testbed::onIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                          gpointer endpoint)
{
    const auto* target = static_cast<const Endpoint*>(endpoint);
    Testbed& testbed = *target->testbed;
    const std::lock_guard lock(testbed.mutex_);
    testbed.usbfs_.handle(testbed.devices_[target->device], client);
    return TRUE;
}

} // namespace sim
