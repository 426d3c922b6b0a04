/*
 * The floor for ledboardd's reads: the daemon's libusb 0.1 calls for one board and nothing else.
 * It opens the first board (the same string reads the daemon makes to accept it), then reads its
 * status every INTERVAL milliseconds until SIGTERM or SIGINT. Anything the daemon costs per read
 * beyond this program is its own overhead (bench/daemon_instructions.py).
 *
 *   ledboard-bench-daemon-floor INTERVAL [threaded]
 *
 * With `threaded`, the reads run in a second thread while the first waits for the stop signal,
 * as in any daemon that has more to do than read: a process with two threads pays more for the
 * same calls (glibc makes each socket call of the simulator's preload a cancellation point), and
 * that share is not the daemon's own.
 */
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <usb.h>

static volatile sig_atomic_t stopping = 0;

static void stop(int signal)
{
    (void)signal;
    stopping = 1;
}

static long interval = 50;
static usb_dev_handle* board = NULL;
static unsigned long reads = 0;

static void* readEveryInterval(void* unused)
{
    (void)unused;
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);
    while (!stopping) {
        unsigned char reply[7] = {0};
        if (usb_control_msg(board, 0xC0, 0, 0, 0, (char*)reply, 7, 5000) >= 2) {
            ++reads;
        }
        next.tv_nsec += interval * 1000000L;
        while (next.tv_nsec >= 1000000000L) {
            next.tv_nsec -= 1000000000L;
            ++next.tv_sec;
        }
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &next, NULL);
    }
    return NULL;
}

int main(int argc, char* argv[])
{
    interval = argc > 1 ? strtol(argv[1], NULL, 10) : 50;
    const int threaded = argc > 2 && strcmp(argv[2], "threaded") == 0;
    struct sigaction action = {0};
    action.sa_handler = stop;
    sigaction(SIGTERM, &action, NULL);
    sigaction(SIGINT, &action, NULL);

    usb_init();
    usb_find_busses();
    usb_find_devices();
    char text[256];
    for (struct usb_bus* bus = usb_get_busses(); bus != NULL && board == NULL; bus = bus->next) {
        for (struct usb_device* device = bus->devices; device != NULL; device = device->next) {
            if (device->descriptor.idVendor != 0x1384 || device->descriptor.idProduct != 0x8888) {
                continue;
            }
            usb_dev_handle* handle = usb_open(device);
            if (handle != NULL &&
                usb_get_string_simple(handle, device->descriptor.iProduct, text, sizeof text) > 0 &&
                usb_get_string_simple(handle, device->descriptor.iManufacturer, text, sizeof text) >
                    0) {
                usb_get_string_simple(handle, device->descriptor.iSerialNumber, text, sizeof text);
                board = handle;
                break;
            }
            if (handle != NULL) {
                usb_close(handle);
            }
        }
    }
    if (board == NULL) {
        fputs("floor: no board\n", stderr);
        return 1;
    }
    if (threaded) {
        sigset_t signals;
        sigemptyset(&signals);
        sigaddset(&signals, SIGTERM);
        sigaddset(&signals, SIGINT);
        pthread_sigmask(SIG_BLOCK, &signals, NULL);
        pthread_t reader;
        pthread_create(&reader, NULL, readEveryInterval, NULL);
        int signal = 0;
        sigwait(&signals, &signal);
        stopping = 1;
        pthread_join(reader, NULL);
    } else {
        readEveryInterval(NULL);
    }
    printf("%lu reads\n", reads);
    usb_close(board);
    return 0;
}
