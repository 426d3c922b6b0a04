/* A small libusb-1.0 program, run under ledboard-sim to show that the simulated bus serves
 * libusb-1.0 (and so libusb-compat-0.1) as well as libusb 0.1.12: it lists the devices, finds
 * the board, opens it, reads its strings and sends the board's two vendor requests.
 *
 *   libusb1_probe LEDS [ENUMERATIONS]
 *
 * LEDS (0 to 7) is shown on the LEDs. ENUMERATIONS (default 1) is how many times the devices
 * are listed, 20 ms apart, until the board is there: a board plugged in later is found on a
 * later listing. Each line of output is one step. Exits 0 when every step worked. */
#include <libusb.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

enum {
    BOARD_VENDOR = 0x1384,
    BOARD_PRODUCT = 0x8888,
    REQUEST_READ_STATUS = 0,
    REQUEST_SET_LEDS = 1,
    STATUS_LENGTH = 7,
    TIMEOUT_MS = 5000,
    LISTING_PAUSE_MS = 20,
};

static void pause_ms(long ms)
{
    struct timespec pause = {0, ms * 1000000L};
    nanosleep(&pause, NULL);
}

/* The board's bus and address, or 0 when the listing does not hold one. */
static int find_board(libusb_context* context, libusb_device** found)
{
    libusb_device** devices = NULL;
    const ssize_t count = libusb_get_device_list(context, &devices);
    int address = 0;
    for (ssize_t i = 0; i < count && address == 0; ++i) {
        struct libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(devices[i], &descriptor) == 0 &&
            descriptor.idVendor == BOARD_VENDOR && descriptor.idProduct == BOARD_PRODUCT) {
            *found = libusb_ref_device(devices[i]);
            address =
                libusb_get_bus_number(devices[i]) * 1000 + libusb_get_device_address(devices[i]);
        }
    }
    libusb_free_device_list(devices, 1);
    return address;
}

static void print_string(libusb_device_handle* handle, const char* name, uint8_t index)
{
    unsigned char text[128];
    if (index == 0) {
        printf("%s: none\n", name);
        return;
    }
    const int length = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
    if (length < 0) {
        printf("%s: %s\n", name, libusb_error_name(length));
    } else {
        printf("%s: %.*s\n", name, length, (const char*)text);
    }
}

/* One vendor IN request (bmRequestType 0xC0); prints its reply. Returns 0 or libusb's error. */
static int vendor_request(libusb_device_handle* handle, const char* name, uint8_t request,
                          uint16_t value)
{
    unsigned char status[STATUS_LENGTH];
    const int got = libusb_control_transfer(
        handle, LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE, request,
        value, /* wIndex */ 0, status, STATUS_LENGTH, TIMEOUT_MS);
    if (got < 0) {
        printf("%s: %s\n", name, libusb_error_name(got));
        return got;
    }
    printf("%s:", name);
    for (int i = 0; i < got; ++i) {
        printf(" %02x", status[i]);
    }
    printf("\n");
    return 0;
}

/* A whole decimal number; returns whether `text` is one. */
static int number(const char* text, long* value)
{
    char* end = NULL;
    *value = strtol(text, &end, 10);
    return end != text && *end == '\0';
}

int main(int argc, char** argv)
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s LEDS [ENUMERATIONS]\n", argv[0]);
        return 2;
    }
    long leds = 0;
    long enumerations = 1;
    if (!number(argv[1], &leds) || leds < 0 || leds > 7 ||
        (argc == 3 && (!number(argv[2], &enumerations) || enumerations < 1))) {
        fprintf(stderr, "usage: %s LEDS [ENUMERATIONS]\n", argv[0]);
        return 2;
    }

    libusb_context* context = NULL;
    int result = libusb_init(&context);
    if (result != 0) {
        printf("init: %s\n", libusb_error_name(result));
        return 1;
    }
    libusb_device* board = NULL;
    int where = 0;
    long listing = 1;
    for (; where == 0 && listing <= enumerations; ++listing) {
        if (listing > 1) {
            pause_ms(LISTING_PAUSE_MS);
        }
        where = find_board(context, &board);
    }
    if (where == 0) {
        printf("no board\n");
        libusb_exit(context);
        return 1;
    }
    printf("board: %03d/%03d%s\n", where / 1000, where % 1000,
           listing > 2 ? ", on a later listing" : "");

    struct libusb_device_descriptor descriptor;
    libusb_get_device_descriptor(board, &descriptor);
    libusb_device_handle* handle = NULL;
    result = libusb_open(board, &handle);
    if (result != 0) {
        printf("open: %s\n", libusb_error_name(result));
        libusb_unref_device(board);
        libusb_exit(context);
        return 1;
    }
    print_string(handle, "manufacturer", descriptor.iManufacturer);
    print_string(handle, "product", descriptor.iProduct);
    print_string(handle, "serial", descriptor.iSerialNumber);
    /* The LED request's wValue holds the LEDs in bits 3 to 5. */
    const int setFailed =
        vendor_request(handle, "set", REQUEST_SET_LEDS, (uint16_t)((leds * 8) & 0xF8));
    const int statusFailed = vendor_request(handle, "status", REQUEST_READ_STATUS, 0);
    const int failed = setFailed != 0 ? setFailed : statusFailed;
    libusb_close(handle);

    if (failed == LIBUSB_ERROR_NO_DEVICE) {
        /* Gone: a new listing no longer holds it, once libusb has heard of the removal. */
        libusb_device* again = NULL;
        int still = find_board(context, &again);
        for (int tries = 0; still != 0 && tries < 250; ++tries) {
            libusb_unref_device(again);
            pause_ms(LISTING_PAUSE_MS);
            still = find_board(context, &again);
        }
        printf("listed afterwards: %s\n", still != 0 ? "yes" : "no");
        if (still != 0) {
            libusb_unref_device(again);
        }
    }
    libusb_unref_device(board);
    libusb_exit(context);
    return failed == 0 ? 0 : 1;
}
