#include "urbs.hpp"

#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>

namespace sim {

namespace {

// A control URB's buffer starts with the setup packet (USB 2.0, 9.3), the data stage after it.
constexpr std::size_t SETUP_LENGTH = 8;

ControlSetup setupPacket(const std::uint8_t* bytes)
{
    const auto word = [bytes](std::size_t at) {
        return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8U));
    };
    return ControlSetup{bytes[0], bytes[1], word(2), word(4), word(6)};
}

// One field of the program's struct usbdevfs_urb, read or written in place: the struct ends in a
// flexible array, which C++ cannot declare.
template <typename T>
T readField(const UMockdevIoctlData* urb, std::size_t offset)
{
    T value{};
    std::memcpy(&value, urb->data + offset, sizeof value);
    return value;
}

template <typename T>
void writeField(UMockdevIoctlData* urb, std::size_t offset, T value)
{
    std::memcpy(urb->data + offset, &value, sizeof value);
}

void release(UMockdevIoctlData* data)
{
    if (data != nullptr) {
        g_object_unref(data);
    }
}

} // namespace

Urbs::~Urbs()
{
    for (auto& [client, node] : nodes_) {
        for (auto* urbs : {&node.done, &node.pending}) {
            for (const Urb& urb : *urbs) {
                release(urb.urb);
            }
        }
        g_object_unref(client);
    }
}

Urbs::Node& Urbs::nodeOf(UMockdevIoctlClient* client)
{
    const auto found = nodes_.find(client);
    if (found != nodes_.end()) {
        return found->second;
    }
    // Held, so that the address does not come back as another program's node.
    g_object_ref(client);
    return nodes_[client];
}

ControlReply Urbs::submit(SimulatedDevice& device, UMockdevIoctlClient* client)
{
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                             0, sizeof(usbdevfs_urb), nullptr);
    if (urbData == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return {EFAULT, {}, false};
    }
    const auto type = readField<unsigned char>(urbData, offsetof(usbdevfs_urb, type));
    const auto endpoint = readField<unsigned char>(urbData, offsetof(usbdevfs_urb, endpoint));
    const auto length = readField<int>(urbData, offsetof(usbdevfs_urb, buffer_length));
    if (type != USBDEVFS_URB_TYPE_CONTROL || length < static_cast<int>(SETUP_LENGTH)) {
        // The simulated devices have no other endpoint that answers.
        log_.write(device.name() + " SUBMITURB type=" + std::to_string(type) +
                   " endpoint=" + std::to_string(endpoint) + " result=-EINVAL");
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return {EINVAL, {}, false};
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        urbData, offsetof(usbdevfs_urb, buffer), static_cast<std::size_t>(length), nullptr);
    if (buffer == nullptr) {
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return {EFAULT, {}, false};
    }
    const ControlSetup setup = setupPacket(buffer->data);
    ControlReply reply = device.control(setup);
    if (reply.data.size() > static_cast<std::size_t>(length) - SETUP_LENGTH) {
        reply.data.resize(static_cast<std::size_t>(length) - SETUP_LENGTH);
    }
    log_.write(describeControl(device.name(), setup, reply));
    // A stall completes the URB with -EPIPE; a timeout leaves it for libusb's own timeout to
    // discard; a node that refuses (EPERM) or a device that is gone refuses the submission.
    if (reply.error != 0 && reply.error != EPIPE && reply.error != ETIMEDOUT) {
        umockdev_ioctl_client_complete(client, -1, reply.error);
        return reply;
    }
    g_object_ref(urbData);
    Node& open = nodeOf(client);
    (reply.error == ETIMEDOUT ? open.pending : open.done).push_back({urbData, buffer, reply});
    umockdev_ioctl_client_complete(client, 0, 0);
    return reply;
}

void Urbs::reap(UMockdevIoctlClient* client)
{
    const auto found = nodes_.find(client);
    if (found == nodes_.end() || found->second.done.empty()) {
        // Nothing to reap: what REAPURBNDELAY answers. REAPURB would wait; libusb never asks
        // for that, and nothing here would end the wait.
        umockdev_ioctl_client_complete(client, -1, EAGAIN);
        return;
    }
    const Urb urb = found->second.done.front();
    found->second.done.erase(found->second.done.begin());
    // Only the fields the kernel writes back: the buffer pointer stays umockdev's.
    if (urb.reply.error != 0) {
        writeField(urb.urb, offsetof(usbdevfs_urb, status), -urb.reply.error);
        writeField(urb.urb, offsetof(usbdevfs_urb, actual_length), 0);
    } else {
        writeField(urb.urb, offsetof(usbdevfs_urb, status), 0);
        writeField(urb.urb, offsetof(usbdevfs_urb, actual_length),
                   static_cast<int>(urb.reply.data.size()));
        std::copy(urb.reply.data.begin(), urb.reply.data.end(), urb.buffer->data + SETUP_LENGTH);
    }
    UMockdevIoctlData* pointer = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client),
                                                             0, sizeof(void*), nullptr);
    if (pointer == nullptr) {
        release(urb.urb);
        umockdev_ioctl_client_complete(client, -1, EFAULT);
        return;
    }
    umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    release(urb.urb);
}

void Urbs::discard(const SimulatedDevice& device, UMockdevIoctlClient* client)
{
    // The argument is the URB's address in the program.
    gulong address = 0;
    std::memcpy(&address, umockdev_ioctl_client_get_arg(client)->data, sizeof address);
    const auto found = nodes_.find(client);
    std::vector<Urb>* pending = found == nodes_.end() ? nullptr : &found->second.pending;
    const auto urb = pending == nullptr
                         ? std::vector<Urb>::iterator{}
                         : std::find_if(pending->begin(), pending->end(), [address](const Urb& u) {
                               return u.urb->client_addr == address;
                           });
    if (pending == nullptr || urb == pending->end()) {
        log_.write(device.name() + " IOCTL DISCARDURB result=-EINVAL");
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    // A discarded URB is reaped with -ENOENT, as usbfs reports an unlinked one.
    Urb discarded = *urb;
    pending->erase(urb);
    discarded.reply = ControlReply{ENOENT, {}, false};
    found->second.done.push_back(discarded);
    log_.write(device.name() + " IOCTL DISCARDURB result=0");
    umockdev_ioctl_client_complete(client, 0, 0);
}

} // namespace sim
