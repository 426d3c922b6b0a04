// The text of --help, kept apart from the parsing so that each reads on its own.
#include "config.hpp"

namespace sim {

const char* const USAGE = R"(Usage: ledboard-sim [OPTION]... -- COMMAND [ARG]...
Run COMMAND against a simulated USB bus: a root hub at 001/001 and the LED
board at 001/002.
Exits with COMMAND's exit status (125 when the simulator fails, 126/127 when
COMMAND cannot run).

Board:
  --push              hold the board's push button down
  --jumpers HEX       fitted jumpers as a mask of bits 0 to 3 (0 to f)
  --board OPTIONS     change the board with device options (see below), e.g.
                      --board stall-strings
  --no-board          leave the board off the bus
  --second-board      add a second board right after the first
  --boards N          N boards (1 to 126) one after the other on the board's
                      bus, numbered 1 to N for --at and --control; board K's
                      serial number is BKKK (B001, B002, ...), the first one's
                      unless --board gives it one
  --fault N:KIND      make the board's Nth vendor request (counted from 1)
                      fail. KIND is stall, timeout (fails at once), hang (no
                      answer: fails with ETIMEDOUT once the caller's timeout
                      has passed, while every other device answers),
                      short=BYTES, eperm, or unplug (ENODEV from that request
                      on)
  --at WHEN:CHANGE[,CHANGE]...[@K]
                      change board K (1, the default, is the board;
                      --second-board is 2; other boards follow in the order the
                      bus lists them). WHEN is N, from the board's Nth vendor
                      request on, or a time after COMMAND started: 300ms, 2s,
                      1.5s. CHANGE is push, release, jumpers=HEX, unplug (its
                      node and sysfs entry go; descriptors still open fail with
                      ENODEV), plug (back with the bus's next device number, at
                      the same port, LEDs off; only at a time), hang (it stops
                      answering: each control transfer waits until its timeout,
                      then fails with ETIMEDOUT, as usbfs's USBDEVFS_CONTROL
                      does; a timeout of 0 waits for ever) or answer (it
                      answers again, the transfers still waiting too; a URB
                      waits for its program to discard it). Unplugged at its
                      Nth request, the board fails that request with ENODEV.
                      E.g. --at 3:push --at 500ms:unplug@2
  --control FIFO      create FIFO and apply each line written to it at once, as
                      CHANGE[,CHANGE]...[@K] (echo unplug > FIFO); a bad line
                      is reported and ignored. The FIFO is removed at exit
Other devices:
  --before DEVICE     list a device ahead of the board (repeatable; kept in
                      order)
  --after DEVICE      list a device behind the board (repeatable; kept in
                      order)
      DEVICE is VID:PID or "board", then device options: VID:PID[,OPTION]...
Device options:
  product=TEXT, manufacturer=TEXT, serial=TEXT
                      its strings (a VID:PID device has none unless given),
                      printable ASCII of at most 126 characters
  bus=N               put it on bus N (each bus gets its own root hub)
  port=P              plug it in at port P: 1.4 is port 4 of a hub at port 1 of
                      the root hub (1 to 255, at most 7 levels; the hubs
                      themselves are not simulated). sysfs names it BUS-P
                      (1-1.4). Without it: port (address - 1) of the root hub,
                      so the board at 001/002 is 1-1
  stall-strings       every string descriptor request stalls
  eperm               every transfer fails with EPERM, as without a udev rule
  vanish              its node disappears right after the bus has been listed
  unplugged           it starts off the bus, for a change to plug it in
  mode=OCTAL          its node's permission bits (umockdev makes it 0644); the
                      node stays root's. It decides who may open the node; a
                      node opened read-only still answers (eperm simulates a
                      node not writable)
Running:
  --all-users         let every user use the simulated bus, for a COMMAND that
                      runs as another user (e.g. setpriv --reuid=nobody); node
                      modes then count
  --join-script FILE  write FILE, a shell script that runs a command on this
                      bus while the simulator runs, e.g. in another terminal:
                      FILE ledboard --list. Removed at exit; it refuses to run
                      once the bus has gone
Output:
  --log FILE          one line per ioctl the simulated devices receive, in
                      arrival order (a URB's as a CONTROL line; its reaping is
                      not logged; a transfer left waiting when it ends),
                      one per plug or unplug (001/002 UNPLUG, 001/003 PLUG),
                      and one per push or release made at a time or through
                      --control (001/002 PUSH, 001/002 RELEASE)
  --log-time          start each log line with the time (CLOCK_MONOTONIC, in
                      seconds)
  -h, --help          show this help
)";

} // namespace sim
