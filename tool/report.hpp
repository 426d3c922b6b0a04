// How results look on stdout: the text a person or a shell loop reads, or JSON Lines for programs
// (one object per line). Formatting only: no I/O but into the buffers and streams given.
#pragma once

#include "json.hpp"
#include "ledboard_device.hpp"
#include "text.hpp"

#include <cstdio>

// The three status lines ("LED  d  5" ...), or {"led":5,"push":0,"jump":0}.
void printReport(std::FILE* out, const BoardStatus& status, bool json);

// A watch line: "5 0 0" (JUMP in hexadecimal), or the JSON object. Ends with a newline.
void formatWatchLine(TextBuffer& line, const BoardStatus& status, bool json);

// The watched board went away, or came back (--wait): "gone" / "back", or {"event":"gone"} ...
enum class WatchEvent { Gone, Back };
void formatWatchEvent(TextBuffer& line, WatchEvent event, bool json);

// One board of --list.
struct ListEntry {
    BusAddress address;
    const char* path;            // its port path; empty when sysfs does not show it
    const char* reason;          // why it cannot be used; null when usable
    const BoardStrings* strings; // when usable
};

// Text: BUS/DEV, "usable", manufacturer, product, serial, path; or BUS/DEV, "unusable", reason,
// path; separated by tabs. JSON: bus, device, path, usable, reason (when unusable), manufacturer,
// product, serial (null when unknown or none). Ends with a newline.
void formatListEntry(TextBuffer& line, const ListEntry& entry, bool json);
