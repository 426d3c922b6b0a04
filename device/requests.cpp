// The board's two vendor requests. Both travel device-to-host with a 7-byte data stage, even the
// one that sets the LEDs, so both land in the caller's StatusReply.
#include "ledboard_device.hpp"

#include <usb.h>

namespace {

// 0xC0: IN, vendor, to the device.
constexpr int VENDOR_IN_REQUEST = USB_ENDPOINT_IN | USB_TYPE_VENDOR | USB_RECIP_DEVICE;

int vendorRequest(usb_dev_handle* handle, int request, int value, StatusReply& reply)
{
    return usb_control_msg(handle,
                           /* bmRequestType */ VENDOR_IN_REQUEST,
                           /* bRequest */ request,
                           /* wValue */ value,
                           /* wIndex */ 0,
                           /* data */ reinterpret_cast<char*>(reply.bytes.data()),
                           /* wLength */ STATUS_REPLY_LENGTH,
                           /* timeout */ CONTROL_TIMEOUT_MS);
}

} // namespace

// REQUEST_SET_LEDS: wValue = LED value, wIndex 0, 7 bytes in.
int usbSetLeds(usb_dev_handle* handle, int number, StatusReply& reply)
{
    return vendorRequest(handle, REQUEST_SET_LEDS, ledValue(number), reply);
}

// REQUEST_READ_STATUS: wValue 0, wIndex 0, 7 bytes in.
int usbReadStatus(usb_dev_handle* handle, StatusReply& reply)
{
    return vendorRequest(handle, REQUEST_READ_STATUS, 0, reply);
}

const char* usbLastError()
{
    return usb_strerror();
}

ExchangeResult usbExchange(usb_dev_handle* handle, BoardLock* lock, const int* ledNumber,
                           StatusReply& reply, const LockWait& wait)
{
    ExchangeResult result{LockResult::NoNode, 0, 0};
    if (lock != nullptr) {
        result.lock = lock->lock(wait);
        if (result.lock == LockResult::Interrupted) {
            return result;
        }
    }
    if (ledNumber != nullptr) {
        result.sent = usbSetLeds(handle, *ledNumber, reply);
        if (result.sent >= 0) {
            usbReadStatus(handle, reply);
        }
    }
    if (result.sent >= 0) {
        result.received = usbReadStatus(handle, reply);
    }
    if (result.lock == LockResult::Locked) {
        lock->unlock();
    }
    return result;
}
