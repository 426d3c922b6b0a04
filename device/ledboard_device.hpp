// Access to the LED board over libusb 0.1: finding and opening it, its two vendor requests, and
// the decoding of its status reply. Nothing here prints; callers report.
//
// This code and the tool use only the header-only parts of the C++ library and no exceptions, so
// the program does not load libstdc++ at all: relocating it at start-up cost several times
// the instructions of everything else the tool does (see bench/README.md).
#pragma once

#include "sysfs.hpp"

#include <array>
#include <csignal>
#include <cstdint>
#include <memory>

// libusb 0.1's handle and device types; only the device sources see their definitions (usb.h).
struct usb_dev_handle;
struct usb_device;

// Which libusb 0.1 the build uses: Debian's original 0.1.12, or libusb-compat-0.1 on libusb-1.0
// (Fedora, Arch, Homebrew). They list devices, fail and word their errors differently, so what the
// tool tells a user about a board it cannot use depends on it. The build sets
// LEDBOARD_LIBUSB_COMPAT from the library's pkg-config file.
enum class UsbFlavor : unsigned char { Original, Compat };
#if defined(LEDBOARD_LIBUSB_COMPAT) && LEDBOARD_LIBUSB_COMPAT
inline constexpr UsbFlavor USB_FLAVOR = UsbFlavor::Compat;
#else
inline constexpr UsbFlavor USB_FLAVOR = UsbFlavor::Original;
#endif

// The board's identity on the bus.
inline constexpr int DEVICE_VENDOR_ID = 0x1384;
inline constexpr int DEVICE_PRODUCT_ID = 0x8888;

// The board's vendor requests. Both are IN requests with a 7-byte data stage.
inline constexpr int REQUEST_READ_STATUS = 0;
inline constexpr int REQUEST_SET_LEDS = 1;
inline constexpr int STATUS_REPLY_LENGTH = 7;
inline constexpr int CONTROL_TIMEOUT_MS = 5000;

// Decoding reads bytes 0 and 1 only, so a reply shorter than this carries no status.
inline constexpr int STATUS_DECODED_LENGTH = 2;

// The longest one exchange (the LED request and two status reads) can take.
inline constexpr int EXCHANGE_TIMEOUT_MS = 3 * CONTROL_TIMEOUT_MS;

// usb_get_string_simple's buffer: a string descriptor holds at most 126 UTF-16 characters.
inline constexpr std::size_t STRING_BUFFER_LENGTH = 256;

// The data stage of either request. Zero-filled until a request writes into it.
struct StatusReply {
    std::array<unsigned char, STATUS_REPLY_LENGTH> bytes{};
};

// What the board reports, as printed by the tool.
struct BoardStatus {
    unsigned led;  // 0..7
    unsigned push; // 1 while the button is pressed
    unsigned jump; // 0..15, one bit per fitted jumper

    bool operator==(const BoardStatus&) const = default;
};

// Closes a handle that usb_open returned.
struct HandleCloser {
    void operator()(usb_dev_handle* handle) const noexcept;
};
using DeviceHandle = std::unique_ptr<usb_dev_handle, HandleCloser>;

// Where a device sits: its bus and device names ("001", "002"), pointing into libusb's bus list,
// which stays until the next rescan.
struct DeviceLocation {
    const char* bus;
    const char* device;
};

// Why a device with the board's identity was not used.
enum class Refusal : unsigned char {
    None,          // usable: it opened and both its strings read back non-empty
    NotOpened,     // no handle, or its node could not be opened (EBADF on the first request)
    NoPermission,  // EPERM or EACCES: the node may be read but not written (libusb-compat's
                   // usb_open fails with EACCES then; 0.1.12's requests fail with EPERM)
    Unplugged,     // ENODEV, or ENXIO as libusb-compat reports it
    NoStrings,     // EINVAL from libusb-compat: the device has no string indexes
    StringsFailed, // a string request failed otherwise (stalled, timed out, ...)
    StringsEmpty,  // a string read returned no characters
};

// The verdict on a device's two string reads; `error` is the failed read's result, else 0.
struct Acceptance {
    Refusal refusal;
    int error;
};

// A board the lookup passed over, and why.
struct RefusedBoard {
    DeviceLocation location;
    Acceptance why;
};

// Initialises libusb, rescans, and opens the first device in bus order that has the given identity
// and answers both its product and manufacturer string reads. Returns 0 and stores the open handle
// through handleOut (the caller owns it), or 1 with handleOut untouched and no handle left open.
// When `firstRefused` is given, it receives the first device with the identity that was refused;
// its location is null when there was none.
int usbOpenDevice(usb_dev_handle** handleOut, int vendor, int product,
                  RefusedBoard* firstRefused = nullptr);

// The lookup's acceptance rule on the results of the product and manufacturer string reads; a
// refusal names the first read that failed.
Acceptance judgeStrings(int productRead, int manufacturerRead) noexcept;

// Initialises libusb and rescans busses and devices. Returns 0, or the library's negative error.
int usbRescan();

// How usb_open's failure reads: libusb-compat returns no handle and sets errno (EACCES for a node
// the user may not write); 0.1.12 always returns a handle.
Acceptance judgeOpenFailure(int error) noexcept;

// The most boards one listing holds: a bus has at most 127 devices (USB 2.0, 9.4.6), and no host
// this runs on has four busses full of boards.
inline constexpr std::size_t MAX_LISTED_BOARDS = 512;

// The devices of the last rescan with one identity, in bus and device number order, which libusb
// builds do not agree on (0.1.12 lists a directory's readdir order, libusb-compat the reverse of
// discovery): taken from the library's list in one walk and one sort. The pointers live until the
// next rescan. Devices beyond MAX_LISTED_BOARDS are left out. No I/O.
struct BoardList {
    std::array<usb_device*, MAX_LISTED_BOARDS> devices{};
    std::size_t count = 0;

    usb_device* const* begin() const { return devices.data(); }
    usb_device* const* end() const { return devices.data() + count; }
};
void usbListInOrder(int vendor, int product, BoardList& list);

// The device at this bus and device number, whatever its identity, or null. No I/O.
usb_device* usbDeviceAt(unsigned bus, unsigned address);

DeviceLocation usbLocationOf(const usb_device* device);
// The same as numbers; {0, 0} for names that are not numbers.
BusAddress usbAddressOf(const usb_device* device);
// The device an open handle belongs to.
usb_device* usbDeviceOf(usb_dev_handle* handle);
std::uint16_t usbVendorOf(const usb_device* device);
std::uint16_t usbProductOf(const usb_device* device);

// A board's strings as the board sent them (libusb keeps the ASCII characters and writes '?' for
// the others); whoever prints them makes them safe for the output. A string the board has no index
// for is empty.
struct BoardStrings {
    std::array<char, STRING_BUFFER_LENGTH> manufacturer{};
    std::array<char, STRING_BUFFER_LENGTH> product{};
    std::array<char, STRING_BUFFER_LENGTH> serial{}; // empty when the board has none
    bool serialUnreadable = false; // it has one, but reading it failed or came back empty
};

// Opens a device and applies the lookup's acceptance (its product, then its manufacturer string).
// With `strings`, also reads its serial number when it has one, and keeps all three. Returns the
// open handle when the device is accepted; otherwise no handle is left open.
struct OpenedBoard {
    DeviceHandle handle;
    Acceptance why;
};
OpenedBoard usbOpenBoard(usb_device* device, BoardStrings* strings);

// Reads the serial number of an open board into `serial`; empty when it has none or it cannot be
// read.
void usbReadSerial(usb_dev_handle* handle, std::array<char, STRING_BUFFER_LENGTH>& serial);

// Sends the LED value of `number` (see ledValue). Returns usb_control_msg's result: the bytes
// received into `reply`, or a negative errno value.
int usbSetLeds(usb_dev_handle* handle, int number, StatusReply& reply);

// Asks for the status. Returns usb_control_msg's result, as usbSetLeds does.
int usbReadStatus(usb_dev_handle* handle, StatusReply& reply);

// libusb's text for its most recent error. The library keeps one global error, so read this right
// after the call that failed.
const char* usbLastError();

// How a wait for the lock may be cut short: `unblocked` is the signal mask while it sleeps (the
// caller's stop signals unblocked), and it gives up once `*stop` is set. Both optional.
struct LockWait {
    const sigset_t* unblocked = nullptr;
    const volatile std::sig_atomic_t* stop = nullptr;
};

enum class LockResult : unsigned char {
    Locked,
    NoNode,      // the node could not be opened: going on without the lock
    Busy,        // another process held it for EXCHANGE_TIMEOUT_MS: going on without it
    Interrupted, // *LockWait::stop was set while waiting
};

// An advisory lock (flock) on a board's device node, which every ledboard process takes around an
// exchange with the board, so that one run's LED request and status reads are not interleaved
// with another's. Where the node cannot be opened, it goes without.
class BoardLock {
public:
    explicit BoardLock(usb_dev_handle* handle);
    ~BoardLock();
    BoardLock(const BoardLock&) = delete;
    BoardLock& operator=(const BoardLock&) = delete;

    // Waits at most EXCHANGE_TIMEOUT_MS, as long as another run's exchange can take.
    LockResult lock(const LockWait& wait = {});
    void unlock();

    // Holds the lock for one scope.
    class Held {
    public:
        explicit Held(BoardLock& lock, const LockWait& wait = {})
            : lock_(lock), result_(lock.lock(wait))
        {
        }
        ~Held()
        {
            if (result_ == LockResult::Locked) {
                lock_.unlock();
            }
        }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;

        LockResult result() const { return result_; }

    private:
        BoardLock& lock_;
        LockResult result_;
    };

private:
    int fd_ = -1;
};

// One exchange with a board, the same in every program: with an LED number, the LED request and
// then two status reads into the same reply (the board answers each request with its status; only
// the last reply counts, so the first read may fail without harm); without one, a status read.
// With `lock`, the exchange is made holding it, waiting as `wait` allows: a command needs it, since
// another process's LED request between ours and our reads would be what we report. A status read
// alone changes nothing on the board and may go without.
struct ExchangeResult {
    LockResult lock; // Locked (or NoNode) without a lock to take
    int sent;        // the LED request's result; 0 when there was no command
    int received;    // the last status read's result; 0 when the LED request failed or the wait
                     // for the lock was interrupted
    bool commandFailed() const { return sent < 0; }
    bool statusArrived() const { return received >= STATUS_DECODED_LENGTH; }
};
ExchangeResult usbExchange(usb_dev_handle* handle, BoardLock* lock, const int* ledNumber,
                           StatusReply& reply, const LockWait& wait = {});

// What a board is known by across a replug, when its bus and device numbers change: its serial
// number when it has one, else the port it is plugged into.
struct BoardIdentity {
    std::array<char, STRING_BUFFER_LENGTH> serial{}; // empty when it has none
    PortPath path;                                   // empty when sysfs does not show it
};

// The identity of an open board: its serial number (one string request) and its port path.
BoardIdentity usbIdentityOf(usb_dev_handle* handle);

// Whether a board with this serial number (empty for none) at this port path is the one `known`
// names: the same serial when `known` has one, else the same port.
bool isSameBoard(const BoardIdentity& known, const char* serial, const PortPath& path) noexcept;

// True when a request result means the device node may not be written: the usual cause is a
// missing udev rule.
bool isPermissionError(int result) noexcept;

// True when a request result means the board is gone: ENODEV from usbfs, or ENXIO as libusb-compat
// words it.
bool isUnplugged(int result) noexcept;

// wValue of the LED request: the low five bits of `number`, two's complement for negatives, moved
// to bits 3..7. Bits 0..2 and the high byte are always clear.
std::uint16_t ledValue(int number) noexcept;

// LED, PUSH and JUMP from the first two status bytes.
BoardStatus decodeStatus(const StatusReply& reply) noexcept;

// The LED state a board reports once it has taken LED number `number`: the low three of its five
// bits, one for each lamp.
unsigned reportedLed(int number) noexcept;
