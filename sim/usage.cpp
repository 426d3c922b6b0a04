// The text of --help, kept apart from the parsing so that each reads on its own.
#include "config.hpp"

namespace sim {

const char* const USAGE = R"(Usage: ledboard-sim [OPTION]... -- COMMAND [ARG]...
Run COMMAND against a simulated USB bus: a root hub at 001/001 and the LED board at 001/002.
Exits with COMMAND's exit status (125 when the simulator fails, 126/127 when COMMAND cannot run).

Board:
  --push              hold the board's push button down
  --jumpers HEX       fitted jumpers as a mask of bits 0 to 3 (0 to f)
  --board OPTIONS     change the board with device options (see below), e.g. --board stall-strings
  --no-board          leave the board off the bus
  --second-board      add a second board right after the first
  --fault N:KIND      make the board's Nth vendor request (counted from 1) fail. KIND is
                      stall, timeout, short=BYTES, eperm, or unplug (ENODEV from that
                      request on)
  --at N:CHANGE[,CHANGE]...
                      from the board's Nth vendor request on, its inputs change. CHANGE is
                      push, release, or jumpers=HEX (e.g. --at 3:push --at 5:release)
Other devices:
  --before DEVICE     list a device ahead of the board (repeatable; kept in order)
  --after DEVICE      list a device behind the board (repeatable; kept in order)
      DEVICE is VID:PID or "board", then device options: VID:PID[,OPTION]...
Device options:
  product=TEXT, manufacturer=TEXT, serial=TEXT
                      its strings (a VID:PID device has none unless given), printable
                      ASCII of at most 126 characters
  bus=N               put it on bus N (each bus gets its own root hub)
  port=P              plug it in at port P: 1.4 is port 4 of a hub at port 1 of the root
                      hub (1 to 255, at most 7 levels; the hubs themselves are not
                      simulated). sysfs names it BUS-P (1-1.4). Without it: port
                      (address - 1) of the root hub, so the board at 001/002 is 1-1
  stall-strings       every string descriptor request stalls
  eperm               every transfer fails with EPERM, as without a udev rule
  vanish              its node disappears right after the bus has been listed
  mode=OCTAL          its node's permission bits (umockdev makes it 0644); the node
                      stays root's. It decides who may open the node; a node opened
                      read-only still answers (eperm simulates a node not writable)
Running:
  --all-users         let every user use the simulated bus, for a COMMAND that runs as
                      another user (e.g. setpriv --reuid=nobody); node modes then count
Output:
  --log FILE          one line per ioctl the simulated devices receive, in arrival order
  --log-time          start each log line with the time (CLOCK_MONOTONIC, in seconds)
  -h, --help          show this help
)";

} // namespace sim
