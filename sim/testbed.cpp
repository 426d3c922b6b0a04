#include "testbed.hpp"

#include "layout.hpp"
#include "listing.hpp"
#include "sysfs_record.hpp"
#include "uevent.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <utility>

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

// The mode umockdev gives the node files it makes, which --help promises.
constexpr mode_t NODE_MODE = 0644;
constexpr mode_t DIRECTORY_MODE = 0755; // as umockdev makes the testbed's directories

[[noreturn]] void failOn(const std::string& what, const std::string& path)
{
    throw std::runtime_error("cannot " + what + " " + path + ": " + std::strerror(errno));
}

void changeMode(const std::string& path, mode_t mode)
{
    if (chmod(path.c_str(), mode) != 0) {
        failOn("change the mode of", path);
    }
}

class Descriptor {
public:
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor()
    {
        if (descriptor_ >= 0) {
            close(descriptor_);
        }
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return descriptor_; }
    // Closes it now, for a caller that needs to know whether that worked.
    int closeNow() { return close(std::exchange(descriptor_, -1)); }

private:
    int descriptor_;
};

// Puts a usbfs node under `root` whole: written elsewhere in the testbed, then renamed into its
// bus's directory. umockdev writes the node files of its records with g_file_set_contents(),
// under a temporary name in that directory, and a program rescanning meanwhile listed that name
// as a device of its own (ledboard --list showed "000/000 unusable cannot be opened").
void writeNode(const std::string& root, const SimulatedDevice& device, mode_t mode)
{
    const std::string node = root + device.nodePath();
    const std::string directory = node.substr(0, node.rfind('/'));
    if (g_mkdir_with_parents(directory.c_str(), DIRECTORY_MODE) != 0) {
        failOn("create", directory);
    }
    const std::string draft = root + "/node-draft"; // one at a time: see Testbed::changing_
    const std::vector<std::uint8_t> content = device.descriptors();
    Descriptor file(open(draft.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (file.get() < 0) {
        failOn("create", draft);
    }
    std::size_t written = 0;
    while (written < content.size()) {
        const ssize_t step = write(file.get(), content.data() + written, content.size() - written);
        if (step < 0 && errno != EINTR) {
            failOn("write", draft);
        }
        written += step > 0 ? static_cast<std::size_t>(step) : 0;
    }
    // The mode before the name: a program must never find the node with another one.
    if (fchmod(file.get(), mode) != 0) {
        failOn("change the mode of", draft);
    }
    if (file.closeNow() != 0) {
        failOn("write", draft);
    }
    if (rename(draft.c_str(), node.c_str()) != 0) {
        failOn("create", node);
    }
}

} // namespace

void GObjectUnref::operator()(void* object) const noexcept
{
    g_object_unref(object);
}

Testbed::Testbed(const Config& config)
    : testbed_(umockdev_testbed_new()), root_(rootDirectory(testbed_.get())),
      devices_(layOut(config)), log_(config.logPath, config.logTimes),
      usbfs_(devices_, log_, root_, [this](SimulatedDevice& device) { unplug(device); }),
      allUsers_(config.allUsers)
{
    for (const SimulatedDevice& device : devices_) {
        lastAddress_[device.bus()] = std::max(lastAddress_[device.bus()], device.address());
    }
    // libusb lists busses and devices in readdir order. On tmpfs that is the order of creation,
    // one way or the other, so the nodes are made in the order that lists them as wanted;
    // checkListingOrder() makes sure it worked.
    std::vector<const SimulatedDevice*> present;
    for (const SimulatedDevice& device : devices_) {
        if (device.present()) {
            present.push_back(&device);
        }
    }
    if (listsNewestFirst(root_)) {
        std::reverse(present.begin(), present.end());
    }
    for (const SimulatedDevice* device : present) {
        addDevice(static_cast<std::size_t>(device - devices_.data()), *device);
    }
    checkListingOrder();
    if (allUsers_) {
        openToAllUsers();
    }
}

Testbed::~Testbed()
{
    // Handlers first: they point back into this object.
    for (const std::string& node : attached_) {
        umockdev_testbed_detach_ioctl(testbed_.get(), node.c_str(), nullptr);
    }
    handlers_.clear();
}

// umockdev makes the testbed for its own user: the root directory 0700 and the sockets that carry
// ioctls writable by the owner only, so that another user's open() of a device node fails.
void Testbed::openToAllUsers() const
{
    changeMode(root_, 0755);
    changeMode(root_ + "/ioctl/_default", 0666);
    for (const SimulatedDevice& device : devices_) {
        if (device.present()) {
            openSocketToAllUsers(device);
        }
    }
}

void Testbed::openSocketToAllUsers(const SimulatedDevice& device) const
{
    changeMode(root_ + "/ioctl" + device.nodePath(), 0666);
}

void Testbed::attachHandler(std::size_t index, const SimulatedDevice& device)
{
    auto& endpoint = endpoints_.emplace_back(
        std::make_unique<Endpoint>(Endpoint{this, index, device.address()}));
    auto& handler = handlers_.emplace_back(umockdev_ioctl_base_new());
    g_signal_connect(handler.get(), "handle-ioctl", G_CALLBACK(onIoctl), endpoint.get());
    const std::string node = device.nodePath();
    // A node used before (the addresses of a bus went round) gets the new handler.
    if (std::find(attached_.begin(), attached_.end(), node) != attached_.end()) {
        umockdev_testbed_detach_ioctl(testbed_.get(), node.c_str(), nullptr);
    } else {
        attached_.push_back(node);
    }
    GError* raw = nullptr;
    if (umockdev_testbed_attach_ioctl(testbed_.get(), node.c_str(), handler.get(), &raw) == FALSE) {
        const Error error{raw};
        throw std::runtime_error("cannot attach " + device.name() + ": " + error->message);
    }
}

void Testbed::addDevice(std::size_t index, const SimulatedDevice& device)
{
    // The handler first, so that a program that hears of the device can use it at once.
    attachHandler(index, device);
    GError* raw = nullptr;
    if (umockdev_testbed_add_from_string(testbed_.get(), sysfsRecord(device).c_str(), &raw) ==
        FALSE) {
        const Error error{raw};
        throw std::runtime_error("cannot add " + device.name() +
                                 " to the testbed: " + error->message);
    }
    umockdev_testbed_set_attribute(testbed_.get(), sysfsPath(device).c_str(), "dev",
                                   sysfsDevAttribute(device).c_str());
    writeNode(root_, device, device.plan().mode.value_or(NODE_MODE));
}

void Testbed::checkListingOrder() const
{
    std::vector<std::string> busses;
    for (const SimulatedDevice& device : devices_) {
        if (device.isHub()) {
            busses.push_back(device.name().substr(0, 3));
        }
    }
    const std::string usb = root_ + "/dev/bus/usb";
    checkListing(usb, busses, "busses");
    for (const auto& bus : busses) {
        std::vector<std::string> wanted;
        for (const SimulatedDevice& device : devices_) {
            if (device.present() && device.name().starts_with(bus)) {
                wanted.push_back(device.name().substr(4));
            }
        }
        std::string directory = usb;
        directory += "/" + bus;
        checkListing(directory, wanted, "bus " + bus);
    }
}

std::string Testbed::apply(const BoardChange& change)
{
    const std::lock_guard changing(changing_);
    const auto board =
        std::find_if(devices_.begin(), devices_.end(), [&](const SimulatedDevice& device) {
            return device.plan().board && device.plan().boardNumber == change.board;
        });
    if (board == devices_.end()) {
        return "there is no board " + std::to_string(change.board);
    }
    {
        const std::lock_guard lock(mutex_);
        board->applyInputs(change);
        if (change.pushed && board->present()) {
            // Where a press begins and ends at the board, for a measurement of what a reader saw.
            log_.write(board->name() + (*change.pushed ? " PUSH" : " RELEASE"));
        }
        if (usbfs_.settle(*board) && change.plugged != false) {
            unplug(*board); // an answer it gave at last met an unplug change
        }
        if (change.plugged == false) {
            if (!board->present()) {
                return "board " + std::to_string(change.board) + " is not plugged in";
            }
            unplug(*board);
        }
    }
    return change.plugged == true ? plug(*board) : std::string();
}

// Called with mutex_ held, from umockdev's worker thread too: nothing here waits for it.
void Testbed::unplug(SimulatedDevice& device)
{
    if (!device.present()) {
        return;
    }
    const std::string path = sysfsPath(device);
    sendUevent(root_, device, "remove");
    umockdev_testbed_remove_device(testbed_.get(), path.c_str());
    device.leaveBus();
    log_.write(device.name() + " UNPLUG");
    usbfs_.settle(device); // what it left waiting fails with ENODEV
}

// Without mutex_ held, but for the device's state: umockdev's calls here may need its worker.
std::string Testbed::plug(SimulatedDevice& device)
{
    std::optional<SimulatedDevice> plugged; // the device as it is to be shown
    {
        const std::lock_guard lock(mutex_);
        if (device.present()) {
            return "board " + std::to_string(device.plan().boardNumber) + " is plugged in already";
        }
        const int address = nextAddress(devices_, device.bus(), lastAddress_[device.bus()]);
        if (address == 0) {
            return "bus " + std::to_string(device.bus()) + " has no address left";
        }
        lastAddress_[device.bus()] = address;
        device.joinBus(address);
        plugged.emplace(device);
    }
    addDevice(static_cast<std::size_t>(&device - devices_.data()), *plugged);
    if (allUsers_) {
        openSocketToAllUsers(*plugged);
    }
    sendUevent(root_, *plugged, "add");
    log_.write(plugged->name() + " PLUG");
    return {};
}

gboolean Testbed::onIoctl(UMockdevIoctlBase* /*handler*/, UMockdevIoctlClient* client,
                          gpointer endpoint)
{
    const auto* target = static_cast<const Endpoint*>(endpoint);
    Testbed& testbed = *target->testbed;
    const std::lock_guard lock(testbed.mutex_);
    SimulatedDevice& device = testbed.devices_[target->device];
    if (device.present() && device.address() == target->address) {
        testbed.usbfs_.handle(device, client);
    } else {
        // The name the node had: a device's name changes with its address.
        testbed.usbfs_.refuse(nodeName(device.bus(), target->address), client);
    }
    return TRUE;
}

} // namespace sim
