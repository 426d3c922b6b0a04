/* Preloaded into the command ahead of umockdev's preload (see command.cpp), against the fixed map
 * of descriptors in umockdev's preload, which ends a program that holds, or once held, too many:
 * the descriptors of the simulated usbfs nodes are served here ("Usbfs nodes" below), and the map
 * entries that umockdev's preload keeps for failed opens are taken back ("Failed opens"). */
#undef _FORTIFY_SOURCE /* open() must stay a plain function to be replaced */

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

/* glibc's fortified open() calls these; its headers declare them only when fortifying. */
/* NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): glibc's own names */
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
/* NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp) */

typedef int (*open_function)(const char* path, int flags, ...);
typedef int (*checked_open_function)(const char* path, int flags);
typedef int (*close_function)(int descriptor);
typedef int (*ioctl_function)(int descriptor, unsigned long request, ...);

/* Each function behind this library, found at its first call rather than in a constructor: the
 * loader may run other libraries' constructors first, and they call open() too (setpriv died
 * that way before its main()). Two threads may both look one up, and store the same address. */
union next_function {
    void* object; /* what dlsym() returns: ISO C has no cast from it to a function pointer */
    open_function open;
    checked_open_function checked_open;
    close_function close;
    ioctl_function ioctl;
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
static void* next_ioctl;

/* The calls this library makes for itself go to the kernel directly: through libc they would
 * reach umockdev's wrappers of open(), close(), ioctl(), connect(), send() and recv(), and
 * finding libc's own functions with dlopen() and dlsym() cost every run of a program about
 * 10,000 instructions more (bench/instructions counted 383,232 for `ledboard 5` that way, 373,450
 * this way). */
static int plain_open(const char* path, int flags, mode_t mode)
{
    return (int)syscall(SYS_openat, AT_FDCWD, path, flags, mode);
}

static int plain_close(int descriptor)
{
    return (int)syscall(SYS_close, descriptor);
}

static int plain_ioctl(int descriptor, unsigned long request, void* argument)
{
    return (int)syscall(SYS_ioctl, descriptor, request, argument);
}

static ssize_t plain_send(int socket, const void* bytes, size_t length)
{
    return (ssize_t)syscall(SYS_sendto, socket, bytes, length, MSG_NOSIGNAL, NULL, 0);
}

static ssize_t plain_receive(int socket, void* bytes, size_t length)
{
    return (ssize_t)syscall(SYS_recvfrom, socket, bytes, length, 0, NULL, NULL);
}

/* Usbfs nodes
 *
 * umockdev's preload (src/libumockdev-preload.c, read at its commit 0c47bb80) files every
 * descriptor that its open() wrappers (WRAP_OPEN, WRAP_OPEN2) return for a /dev path in one map,
 * ioctl_wrapped_fds, from ioctl_emulate_open(), together with a socket connected to the node's
 * handler in the simulator; the map has FD_MAP_MAX (50) entries and fd_map_add() aborts the
 * program ("libumockdev-preload fd_map_add(): overflow") when it is full. ledboardd keeps two
 * descriptors on each board's node (libusb 0.1's handle, and the one it locks), so it died at
 * about 25 boards, where a full bus has 126.
 *
 * So an open() of a path under /dev/bus/usb/ is served here when the testbed has the node and a
 * handler listens on the node's ioctl socket: the testbed's node file is opened, a socket of this
 * library's own is connected to $UMOCKDEV_DIR/ioctl/<path> (the socket ioctl_emulate_open()
 * connects to), and the two are kept in a table indexed by descriptor that grows as needed. ioctl()
 * on such a descriptor talks to the handler as remote_emulate() does: an IOCTL_REQ_IOCTL request
 * with the request code (as unsigned int, as the preload's ioctl() wrapper sends it) and the
 * argument's address; then it sends the memory IOCTL_RES_READ_MEM asks for, receives what
 * IOCTL_RES_WRITE_MEM writes (at any address: libusb-1.0's URBs are written back when they are
 * reaped, at the address an earlier USBDEVFS_SUBMITURB gave), runs the real ioctl for IOCTL_RES_RUN
 * and sends IOCTL_REQ_RES, until IOCTL_RES_DONE brings the result and errno. IOCTL_RES_ABORT, an
 * unknown answer or a lost connection end the program, as there. All signals are blocked while it
 * talks, and each descriptor has one conversation at a time, as there; a result of -100 (UNHANDLED)
 * runs the real ioctl instead, as the preload's ioctl() wrapper does. Its usleep(0) after each
 * conversation, a turn for other threads waiting on the same descriptor, is left out: each
 * descriptor here has one thread (a board worker of ledboardd, or libusb's own rescan), and it
 * would cost a system call per ioctl. close() forgets the descriptor and closes its socket, as
 * ioctl_emulate_close() does, and then goes on to umockdev's close().
 *
 * Everything else reaches umockdev's preload as before, and for these descriptors it finds them
 * in no map of its own and passes the call to the file, which changes nothing a program sees:
 * its fstat() wrapper gave the plain file's result for a descriptor in its map too (umockdev
 * 0.17.16, checked here); flock() and poll() always went to the file; and read() and write(),
 * which it would first send to the handler (IOCTL_REQ_READ, IOCTL_REQ_WRITE), are answered -100
 * by umockdev's server when the handler has no handle-read or handle-write signal (read_ioctl()
 * in src/umockdev-ioctl.vala), as the simulator's have none (testbed.cpp), after which the
 * preload reads or writes the file itself. A path opened otherwise (openat(), fopen(), relative),
 * a node without a socket (umockdev connects those to ioctl/_default) and a failed open go to
 * umockdev's preload whole. dup() and fcntl(F_DUPFD) give descriptors that are not emulated, as
 * they do under umockdev's preload; the programs here make none. The simulator never disables
 * its testbed, so $UMOCKDEV_DIR/disabled, which trap_path() checks, is not looked at. */

enum {
    IOCTL_REQ_IOCTL = 1,
    IOCTL_REQ_RES = 2,
    IOCTL_RES_DONE = 3,
    IOCTL_RES_RUN = 4,
    IOCTL_RES_READ_MEM = 5,
    IOCTL_RES_WRITE_MEM = 6,
    IOCTL_RES_ABORT = 0xff,
    UNHANDLED = -100,
};

/* Every message is three unsigned longs (struct ioctl_request in the preload). */
struct message {
    unsigned long command;
    unsigned long first;
    unsigned long second;
};

struct device_fd {
    int socket;
    pthread_mutex_t talking;  /* one conversation at a time on the socket */
    unsigned long references; /* the table's, and one for each call under way */
};

/* Indexed by descriptor. A table that grows is copied, and the old one kept: a call reads the
 * table without the lock first, to see whether a descriptor can be one of these, and may still be
 * looking at the old one. Old tables add up to less than the newest one. */
struct table {
    struct table* previous;
    size_t size;
    struct device_fd* slots[];
};

enum { FIRST_TABLE_SIZE = 256 };

static struct table* table;
static pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER; /* taken with signals blocked */

/* Whether `descriptor` may be one of these; for any other descriptor the answer is no, without a
 * lock or a system call. The descriptor's opener filed it before it returned the number, so a
 * caller that has the number sees the entry; a yes is checked again under the lock. */
static int may_be_device(int descriptor)
{
    const struct table* current = __atomic_load_n(&table, __ATOMIC_ACQUIRE);
    return current != NULL && descriptor >= 0 && (size_t)descriptor < current->size &&
           __atomic_load_n(&current->slots[descriptor], __ATOMIC_RELAXED) != NULL;
}

static void block_signals(sigset_t* restore)
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, restore);
}

static void restore_signals(const sigset_t* restore)
{
    pthread_sigmask(SIG_SETMASK, restore, NULL);
}

static void release(struct device_fd* device)
{
    if (__atomic_sub_fetch(&device->references, 1, __ATOMIC_ACQ_REL) == 0) {
        plain_close(device->socket);
        pthread_mutex_destroy(&device->talking);
        free(device);
    }
}

/* Under table_lock. Returns 0, or -1 when there is no memory for a larger table. */
static int file_device(int descriptor, struct device_fd* device)
{
    struct table* current = table;
    if (current == NULL || (size_t)descriptor >= current->size) {
        size_t size = current == NULL ? FIRST_TABLE_SIZE : current->size;
        while (size <= (size_t)descriptor) {
            size *= 2;
        }
        struct table* grown = calloc(1, sizeof *grown + size * sizeof(struct device_fd*));
        if (grown == NULL) {
            return -1;
        }
        grown->previous = current;
        grown->size = size;
        if (current != NULL) {
            memcpy(grown->slots, current->slots, current->size * sizeof(struct device_fd*));
        }
        __atomic_store_n(&table, grown, __ATOMIC_RELEASE);
        current = grown;
    }
    /* An entry left there belongs to a descriptor closed behind close()'s back (by dup2(), say):
     * this number is a new file now. */
    struct device_fd* stale = current->slots[descriptor];
    __atomic_store_n(&current->slots[descriptor], device, __ATOMIC_RELEASE);
    if (stale != NULL) {
        release(stale);
    }
    return 0;
}

/* The entry of `descriptor`, held for a call, or NULL. */
static struct device_fd* hold(int descriptor)
{
    pthread_mutex_lock(&table_lock);
    struct device_fd* device = NULL;
    if ((size_t)descriptor < table->size) {
        device = table->slots[descriptor];
        if (device != NULL) {
            __atomic_add_fetch(&device->references, 1, __ATOMIC_RELAXED);
        }
    }
    pthread_mutex_unlock(&table_lock);
    return device;
}

static void forget(int descriptor)
{
    sigset_t restore;
    block_signals(&restore);
    pthread_mutex_lock(&table_lock);
    struct device_fd* device = NULL;
    if ((size_t)descriptor < table->size) {
        device = table->slots[descriptor];
        __atomic_store_n(&table->slots[descriptor], NULL, __ATOMIC_RELEASE);
    }
    pthread_mutex_unlock(&table_lock);
    if (device != NULL) {
        release(device);
    }
    restore_signals(&restore);
}

/* `root`, `middle` and `path` into `buffer`; 0 when they do not fit. Put together by hand: the
 * tool's plain run opens a node twice, and it is held to the cost of a bare C program
 * (bench/instructions). */
static int join(char* buffer, size_t size, const char* root, size_t root_length, const char* middle,
                const char* path)
{
    const size_t middle_length = strlen(middle);
    const size_t path_length = strlen(path);
    if (root_length + middle_length + path_length >= size) {
        return 0;
    }
    memcpy(buffer, root, root_length);
    /* NOLINTNEXTLINE(bugprone-not-null-terminated-result): the next copy ends the string */
    memcpy(buffer + root_length, middle, middle_length);
    memcpy(buffer + root_length + middle_length, path, path_length + 1);
    return 1;
}

/* Opens `path` as one of these. Returns 0 when it is not one, to be passed on as it is; otherwise
 * 1, with the descriptor in `opened`. */
static int open_device(const char* path, int flags, mode_t mode, int* opened)
{
    static const char usbfs[] = "/dev/bus/usb/";
    if (path == NULL || strncmp(path, usbfs, sizeof usbfs - 1) != 0) {
        return 0;
    }
    const char* root = getenv("UMOCKDEV_DIR");
    if (root == NULL) {
        return 0;
    }
    const size_t root_length = strlen(root);
    char node[PATH_MAX];
    struct sockaddr_un address = {.sun_family = AF_UNIX};
    if (!join(node, sizeof node, root, root_length, "", path) ||
        !join(address.sun_path, sizeof address.sun_path, root, root_length, "/ioctl", path)) {
        return 0;
    }
    const int error = errno;
    const int descriptor = plain_open(node, flags, mode);
    if (descriptor < 0) {
        errno = error;
        return 0;
    }
    const int socket = (int)syscall(SYS_socket, AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct device_fd* device = malloc(sizeof *device);
    if (socket < 0 || device == NULL ||
        syscall(SYS_connect, socket, &address, sizeof address) != 0) {
        free(device);
        if (socket >= 0) {
            plain_close(socket);
        }
        plain_close(descriptor);
        errno = error;
        return 0;
    }
    device->socket = socket;
    pthread_mutex_init(&device->talking, NULL);
    device->references = 1;
    sigset_t restore;
    block_signals(&restore);
    pthread_mutex_lock(&table_lock);
    const int filed = file_device(descriptor, device);
    pthread_mutex_unlock(&table_lock);
    restore_signals(&restore);
    if (filed != 0) {
        release(device);
        plain_close(descriptor);
        errno = error;
        return 0;
    }
    errno = error;
    *opened = descriptor;
    return 1;
}

/* All `length` bytes, through short transfers. Returns 0, or -1 with errno (0 at the end of the
 * stream). */
static int send_all(int socket, const void* bytes, size_t length)
{
    for (size_t done = 0; done < length;) {
        const ssize_t step = plain_send(socket, (const char*)bytes + done, length - done);
        if (step < 0 && errno != EINTR) {
            return -1;
        }
        done += step > 0 ? (size_t)step : 0;
    }
    return 0;
}

static int receive_all(int socket, void* bytes, size_t length)
{
    for (size_t done = 0; done < length;) {
        const ssize_t step = plain_receive(socket, (char*)bytes + done, length - done);
        if (step == 0) {
            errno = 0;
            return -1;
        }
        if (step < 0 && errno != EINTR) {
            return -1;
        }
        done += step > 0 ? (size_t)step : 0;
    }
    return 0;
}

_Noreturn static void lost(int descriptor, const char* what)
{
    fprintf(stderr, "ledboard-sim: the simulator's ioctl socket for descriptor %d: %s\n",
            descriptor, what);
    abort();
}

/* One ioctl, as remote_emulate() has it: the result, with errno as the handler gave it. */
static int converse(int descriptor, int socket, unsigned long request, void* argument)
{
    struct message message = {IOCTL_REQ_IOCTL, (unsigned int)request, (uintptr_t)argument};
    if (send_all(socket, &message, sizeof message) != 0) {
        lost(descriptor, strerror(errno));
    }
    for (;;) {
        if (receive_all(socket, &message, sizeof message) != 0) {
            lost(descriptor, errno == 0 ? "closed by the simulator" : strerror(errno));
        }
        /* The handler names the program's memory by its address. */
        void* memory = (void*)(uintptr_t)message.first; /* NOLINT(performance-no-int-to-ptr) */
        switch (message.command) {
        case IOCTL_RES_DONE:
            errno = (int)message.second;
            return (int)(long)message.first;
        case IOCTL_RES_RUN: {
            const int result = plain_ioctl(descriptor, request, argument);
            message =
                (struct message){IOCTL_REQ_RES, (unsigned long)(long)result, (unsigned long)errno};
            if (send_all(socket, &message, sizeof message) != 0) {
                lost(descriptor, strerror(errno));
            }
            break;
        }
        case IOCTL_RES_READ_MEM:
            if (send_all(socket, memory, message.second) != 0) {
                /* EFAULT: the handler asked for memory the program does not have. */
                lost(descriptor, strerror(errno));
            }
            break;
        case IOCTL_RES_WRITE_MEM:
            if (receive_all(socket, memory, message.second) != 0) {
                lost(descriptor, errno == 0 ? "closed by the simulator" : strerror(errno));
            }
            break;
        case IOCTL_RES_ABORT:
            lost(descriptor, "the simulator asked to abort");
        default:
            lost(descriptor, "an answer umockdev does not send");
        }
    }
}

int ioctl(int descriptor, unsigned long request, ...)
{
    /* At most one argument, a pointer or an integer that fits one, as the preload takes it. */
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);
    if (may_be_device(descriptor)) {
        sigset_t restore;
        block_signals(&restore);
        struct device_fd* device = hold(descriptor);
        if (device != NULL) {
            pthread_mutex_lock(&device->talking);
            const int result = converse(descriptor, device->socket, request, argument);
            const int error = errno;
            pthread_mutex_unlock(&device->talking);
            release(device);
            restore_signals(&restore);
            if (result != UNHANDLED) {
                errno = error;
                return result;
            }
            return plain_ioctl(descriptor, request, argument);
        }
        restore_signals(&restore);
    }
    return next(&next_ioctl, "ioctl").ioctl(descriptor, request, argument);
}

int close(int descriptor)
{
    if (may_be_device(descriptor)) {
        forget(descriptor);
    }
    return next(&next_close, "close").close(descriptor);
}

/* Failed opens
 *
 * Preloaded into the command ahead of umockdev's preload (see command.cpp): takes back what
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

/* open() and open64() once their mode is read: a device node here, anything else by `name`. */
static int open_file(void** found, const char* name, const char* path, int flags, mode_t mode)
{
    int descriptor = -1;
    if (open_device(path, flags, mode, &descriptor)) {
        return descriptor;
    }
    return after_open(path, next(found, name).open(path, flags, mode));
}

int open(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_file(&next_open, "open", path, flags, mode);
}

int open64(const char* path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = mode_argument(flags, arguments);
    va_end(arguments);
    return open_file(&next_open64, "open64", path, flags, mode);
}

int __open_2(const char* path, int flags)
{
    int descriptor = -1;
    if (open_device(path, flags, 0, &descriptor)) {
        return descriptor;
    }
    return after_open(path, next(&next_checked_open, "__open_2").checked_open(path, flags));
}

int __open64_2(const char* path, int flags)
{
    int descriptor = -1;
    if (open_device(path, flags, 0, &descriptor)) {
        return descriptor;
    }
    return after_open(path, next(&next_checked_open64, "__open64_2").checked_open(path, flags));
}
