/* A libusb 0.1 program that keeps rescanning the bus, run under ledboard-sim while boards come
 * and go: each rescan opens every node it lists, and a node that goes in between fails to open,
 * which is what umockdev's preload used to keep a socket for until it aborted.
 *
 *   libusb0_rescan
 *
 * Prints "ready" after its first rescan, then rescans until SIGTERM. Then prints how many rescans
 * it made, how often the number of devices it found changed from one rescan to the next, how many
 * descriptors it holds beyond those it held after its first rescan, and the board's status as
 * one more rescan finds it (its 7 bytes in hexadecimal). Exits 0 when that status was read. */
#include <usb.h>

#include <dirent.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

enum {
    BOARD_VENDOR = 0x1384,
    BOARD_PRODUCT = 0x8888,
    VENDOR_IN = 0xC0,
    REQUEST_READ_STATUS = 0,
    STATUS_LENGTH = 7,
    TIMEOUT_MS = 5000,
};

static volatile sig_atomic_t stopped;

static void stop(int signal_number)
{
    (void)signal_number;
    stopped = 1;
}

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

/* Rescans, and returns how many devices the bus holds; `board` gets the board, if there is one. */
static int rescan(struct usb_device** board)
{
    int devices = 0;
    usb_find_busses();
    usb_find_devices();
    *board = NULL;
    for (struct usb_bus* bus = usb_get_busses(); bus != NULL; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != NULL; device = device->next) {
            ++devices;
            if (device->descriptor.idVendor == BOARD_VENDOR &&
                device->descriptor.idProduct == BOARD_PRODUCT) {
                *board = device;
            }
        }
    }
    return devices;
}

static int print_status(struct usb_device* board)
{
    char status[STATUS_LENGTH];
    usb_dev_handle* handle = board == NULL ? NULL : usb_open(board);
    const int got = handle == NULL ? -1
                                   : usb_control_msg(handle, VENDOR_IN, REQUEST_READ_STATUS, 0, 0,
                                                     status, STATUS_LENGTH, TIMEOUT_MS);
    if (handle != NULL) {
        usb_close(handle);
    }
    if (got != STATUS_LENGTH) {
        printf("status: %s\n", board == NULL ? "no board" : usb_strerror());
        return 1;
    }
    printf("status:");
    for (int i = 0; i < STATUS_LENGTH; ++i) {
        printf(" %02x", (unsigned char)status[i]);
    }
    printf("\n");
    return 0;
}

int main(void)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = stop;
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, NULL);

    usb_init();
    struct usb_device* board = NULL;
    int last = rescan(&board);
    const int descriptors = open_descriptors();
    printf("ready\n");
    fflush(stdout);

    long rescans = 1;
    long changes = 0;
    while (!stopped) {
        const int devices = rescan(&board);
        changes += devices != last;
        last = devices;
        ++rescans;
    }
    printf("rescans: %ld\nchanges: %ld\nkept descriptors: %d\n", rescans, changes,
           open_descriptors() - descriptors);
    rescan(&board);
    return print_status(board);
}
