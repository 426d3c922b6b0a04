/*
 * The floor for `ledboard 5`: the same libusb 0.1 calls in the same order, the same three lines
 * of output, and nothing else. Anything ledboard costs beyond this program is its own overhead.
 */
#include <stdio.h>
#include <stdlib.h>
#include <usb.h>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        puts("you need LED data");
        return 0;
    }
    /* atoi, as the tool reads the argument; the tests cover the numbers where they differ. */
    const unsigned value = ((unsigned)atoi(argv[1]) & 0x1FU) << 3; /* NOLINT(cert-err34-c) */

    usb_init();
    const int busses = usb_find_busses();
    const int devices = usb_find_devices();
    usb_dev_handle* board = NULL;
    char text[256];
    for (struct usb_bus* bus = busses < 0 || devices < 0 ? NULL : usb_get_busses();
         bus != NULL && board == NULL; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != NULL; device = device->next) {
            usb_dev_handle* handle = usb_open(device);
            if (handle == NULL) {
                continue;
            }
            const int product =
                usb_get_string_simple(handle, device->descriptor.iProduct, text, sizeof text);
            const int manufacturer =
                usb_get_string_simple(handle, device->descriptor.iManufacturer, text, sizeof text);
            if (product > 0 && manufacturer > 0 && device->descriptor.idVendor == 0x1384 &&
                device->descriptor.idProduct == 0x8888) {
                board = handle;
                break;
            }
            usb_close(handle);
        }
    }
    if (board == NULL) {
        printf("Plugin your USB device%d \n", 1);
        return 0;
    }

    unsigned char reply[7] = {0};
    if (usb_control_msg(board, 0xC0, 1, (int)value, 0, (char*)reply, 7, 5000) < 0) {
        fprintf(stderr, "floor: %s\n", usb_strerror());
        return 1;
    }
    usb_control_msg(board, 0xC0, 0, 0, 0, (char*)reply, 7, 5000);
    if (usb_control_msg(board, 0xC0, 0, 0, 0, (char*)reply, 7, 5000) < 2) {
        fprintf(stderr, "floor: %s\n", usb_strerror());
        return 1;
    }
    printf("LED  d %2x\n", (reply[0] >> 3) & 7U);
    printf("PUSH d %2x\n", (reply[0] & 0x40U) == 0 ? 1U : 0U);
    printf("JUMP b %2x\n", ~(unsigned)reply[1] & 0x0FU);
    usb_close(board);
    return 0;
}
