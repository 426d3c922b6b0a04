/* Preloaded into the command ahead of umockdev's preload (see command.cpp): takes back what
 * umockdev's preload keeps for each failed open() of a /dev path, which would otherwise stop a
 * program that rescans the bus while boards come and go, or that tries many vanished nodes.
 *
 * umockdev's preload (src/libumockdev-preload.c, read at its commit 0c47bb80) wraps open(),
 * open64(), __open_2() and __open64_2() (the WRAP_OPEN and WRAP_OPEN2 wrappers). Each passes the
 * descriptor the real call returned to ioctl_emulate_open() without looking at it. For a path that
 * starts with
 * "/dev/", that function connects a new socket to $UMOCKDEV_DIR/ioctl/<path>, or to
 * ioctl/_default where there is none, and once connected files it in the map ioctl_wrapped_fds
 * with fd_map_add() under that descriptor: -1 for a failed open. Only close() of the descriptor
 * takes an entry out again (ioctl_emulate_close(), which also closes the socket), so an entry
 * filed under -1 stays for the life of the process. The map has FD_MAP_MAX (50) entries, and
 * fd_map_add() aborts the program ("libumockdev-preload fd_map_add(): overflow") when it is full.
 * libusb 0.1 opens every node it has listed, read-write and then read-only, so a node that goes
 * between its listing and its opening costs two entries: a libusb 0.1 program that kept
 * rescanning while a board was replugged died after 341 to 687 replugs here (after 30 when each
 * replug waited for the last), and ledboard --list over 29 boards whose nodes vanish after the
 * listing died at once.
 *
 * Debian 12's umockdev 0.17.16 does the same (checked here: 50 failed opens of a /dev path in
 * one process pass, the 51st aborts; with a close(-1) after each, 500 pass), and its close()
 * wrapper, like the current one, hands any descriptor to ioctl_emulate_close(). So after a
 * failed open of a /dev path this calls the next close() with -1: umockdev's takes out the entry
 * the failed open filed, if it filed one, and the real close() fails with EBADF, which is not
 * passed on. umockdev cannot be changed here, and removing a node's socket when its device is
 * unplugged (and ioctl/_default, which a failed open falls back to) does not work: an open
 * that succeeded just before the node went connects to the socket a few microseconds later, and
 * when the socket has gone too umockdev's preload ends the program ("Failed to connect to ioctl
 * socket for ...", status 1); that ended three of four runs of 1,000 replugs here. */
#define _GNU_SOURCE
#undef _FORTIFY_SOURCE /* open() must stay a plain function to be replaced */

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>

/* glibc's fortified open() calls these; its headers declare them only when fortifying. */
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);

typedef int (*open_function)(const char* path, int flags, ...);
typedef int (*checked_open_function)(const char* path, int flags);
typedef int (*close_function)(int descriptor);

/* Each function behind this library, found at its first call rather than in a constructor: the
 * loader may run other libraries' constructors first, and they call open() too (setpriv died
 * that way before its main()). Two threads may both look one up, and store the same address. */
union next_function {
    void* object; /* what dlsym() returns: ISO C has no cast from it to a function pointer */
    open_function open;
    checked_open_function checked_open;
    close_function close;
};

static union next_function next(void** found, const char* name)
{
    union next_function function;
    function.object = __atomic_load_n(found, __ATOMIC_ACQUIRE);
    if (function.object == NULL) {
        function.object = dlsym(RTLD_NEXT, name);
        if (function.object == NULL) {
            fprintf(stderr, "ledboard-sim: %s not found behind the simulator's preload\n", name);
            abort();
        }
        __atomic_store_n(found, function.object, __ATOMIC_RELEASE);
    }
    return function;
}

static void* next_open;
static void* next_open64;
static void* next_checked_open;
static void* next_checked_open64;
static void* next_close;

/* What ioctl_emulate_open() checks before it connects; `result` is what the open returned. */
static int after_open(const char* path, int result)
{
    if (result < 0 && path != NULL && strncmp(path, "/dev/", strlen("/dev/")) == 0) {
        const int error = errno;
        next(&next_close, "close").close(-1);
        errno = error;
    }
    return result;
}

/* The mode argument is there only when a file may be created, as open(2) says. */
static mode_t mode_argument(int flags, va_list arguments)
{
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(arguments, mode_t) : 0;
}

int open(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return after_open(path, next(&next_open, "open").open(path, flags, mode));
}

int open64(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return after_open(path, next(&next_open64, "open64").open(path, flags, mode));
}

int __open_2(const char* path, int flags)
{
    return after_open(path, next(&next_checked_open, "__open_2").checked_open(path, flags));
}

int __open64_2(const char* path, int flags)
{
    return after_open(path, next(&next_checked_open64, "__open64_2").checked_open(path, flags));
}
