/* A libusb 0.1 program that holds every board on the bus open at once, as ledboardd does: a
 * usb_open() handle on each board's node, and one more read-only descriptor on the same node that
 * it takes an advisory lock on. With all of them open it asks each board for its status through
 * the handle, asks the node's connection info through the extra descriptor and reads the device
 * descriptor back from it. Then it closes everything and does it all once more, so that the
 * descriptors' numbers come back for other nodes.
 *
 *   libusb0_hold
 *
 * Prints one line per board and round, "BBB/DDD status XX XX XX XX XX XX XX" or what failed,
 * then "round N: boards B, answered A"; at the end how many descriptors it holds beyond those it
 * held before the first round. Exits 0 when every board answered everything in both rounds and
 * nothing was kept. */
#include <usb.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/usbdevice_fs.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum {
    BOARD_VENDOR = 0x1384,
    BOARD_PRODUCT = 0x8888,
    VENDOR_IN = 0xC0,
    REQUEST_READ_STATUS = 0,
    STATUS_LENGTH = 7,
    TIMEOUT_MS = 5000,
    DEVICE_DESCRIPTOR_LENGTH = 18,
    ROUNDS = 2,
};

struct held {
    struct usb_device* device;
    usb_dev_handle* handle;
    int lock; /* the extra read-only descriptor */
};

static int open_descriptors(void)
{
    DIR* directory = opendir("/proc/self/fd");
    int count = -1; /* the directory's own */
    if (directory == NULL) {
        return -1;
    }
    for (struct dirent* entry; (entry = readdir(directory)) != NULL;) {
        count += entry->d_name[0] != '.';
    }
    closedir(directory);
    return count;
}

/* What the extra descriptor must do: take a lock, answer an ioctl for its own node, and read the
 * node's device descriptor. Returns the step that failed, with errno (0 for a wrong answer), or
 * NULL. */
static const char* check_lock_descriptor(const struct held* board)
{
    if (board->lock < 0) {
        return "open";
    }
    if (flock(board->lock, LOCK_EX | LOCK_NB) != 0) {
        return "flock";
    }
    struct usbdevfs_connectinfo info = {0};
    if (ioctl(board->lock, USBDEVFS_CONNECTINFO, &info) != 0) {
        return "connectinfo";
    }
    if (info.devnum != strtoul(board->device->filename, NULL, 10)) {
        errno = 0;
        return "connectinfo";
    }
    unsigned char descriptor[DEVICE_DESCRIPTOR_LENGTH];
    const ssize_t got = read(board->lock, descriptor, sizeof descriptor);
    if (got != (ssize_t)sizeof descriptor || (descriptor[8] | descriptor[9] << 8) != BOARD_VENDOR) {
        if (got >= 0) {
            errno = 0;
        }
        return "read";
    }
    return NULL;
}

/* Opens every board, then asks each; returns how many answered everything. */
static int round_over(struct held* boards, int count)
{
    for (int i = 0; i < count; ++i) {
        char path[sizeof "/dev/bus/usb//" + 2 * ((size_t)PATH_MAX + 1)];
        snprintf(path, sizeof path, "/dev/bus/usb/%s/%s", boards[i].device->bus->dirname,
                 boards[i].device->filename);
        boards[i].handle = usb_open(boards[i].device);
        boards[i].lock = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    }
    int answered = 0;
    for (int i = 0; i < count; ++i) {
        printf("%s/%s", boards[i].device->bus->dirname, boards[i].device->filename);
        const char* failed = check_lock_descriptor(&boards[i]);
        const int error = errno;
        char status[STATUS_LENGTH];
        const int got = boards[i].handle == NULL
                            ? -1
                            : usb_control_msg(boards[i].handle, VENDOR_IN, REQUEST_READ_STATUS, 0,
                                              0, status, STATUS_LENGTH, TIMEOUT_MS);
        if (got != STATUS_LENGTH) {
            printf(" status: %s", boards[i].handle == NULL ? "not opened" : usb_strerror());
        } else {
            printf(" status");
            for (int byte = 0; byte < STATUS_LENGTH; ++byte) {
                printf(" %02x", (unsigned char)status[byte]);
            }
        }
        if (failed != NULL) {
            printf(", %s: %s", failed, error != 0 ? strerror(error) : "wrong answer");
        }
        printf("\n");
        answered += got == STATUS_LENGTH && failed == NULL;
    }
    for (int i = 0; i < count; ++i) {
        if (boards[i].handle != NULL) {
            usb_close(boards[i].handle);
        }
        if (boards[i].lock >= 0) {
            close(boards[i].lock);
        }
    }
    /* A closed descriptor is no longer the node's: an ioctl on it fails as on any closed one. */
    if (count > 0 && boards[0].lock >= 0) {
        struct usbdevfs_connectinfo info = {0};
        if (ioctl(boards[0].lock, USBDEVFS_CONNECTINFO, &info) != -1 || errno != EBADF) {
            printf("closed descriptor: still answers\n");
            --answered;
        }
    }
    return answered;
}

int main(void)
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    enum { MOST = 127 * 8 }; /* addresses on a bus, times more busses than tests make */
    static struct held boards[MOST];
    int count = 0;
    for (struct usb_bus* bus = usb_get_busses(); bus != NULL; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != NULL; device = device->next) {
            if (device->descriptor.idVendor == BOARD_VENDOR &&
                device->descriptor.idProduct == BOARD_PRODUCT && count < MOST) {
                boards[count++].device = device;
            }
        }
    }

    const int descriptors = open_descriptors();
    int failed = count == 0;
    for (int round = 1; round <= ROUNDS; ++round) {
        const int answered = round_over(boards, count);
        printf("round %d: boards %d, answered %d\n", round, count, answered);
        failed |= answered != count;
    }
    const int kept = open_descriptors() - descriptors;
    printf("kept descriptors: %d\n", kept);
    return failed || kept != 0;
}
