#include "report.hpp"

#include "json.hpp"

namespace {

const char* WATCH_EVENT_NAMES[] = {"gone", "back"};

// A string of the board's that may be missing: null in JSON.
void optionalString(JsonObject& object, const char* key, const char* value)
{
    if (value != nullptr && value[0] != '\0') {
        object.string(key, value);
    } else {
        object.null(key);
    }
}

} // namespace

void printReport(std::FILE* out, const BoardStatus& status, bool json)
{
    if (json) {
        JsonLine line;
        formatWatchLine(line, status, true);
        std::fputs(line.text(), out);
        return;
    }
    std::fprintf(out, "LED  d %2x\n", status.led);
    std::fprintf(out, "PUSH d %2x\n", status.push);
    std::fprintf(out, "JUMP b %2x\n", status.jump);
}

void formatWatchLine(TextBuffer& line, const BoardStatus& status, bool json)
{
    if (!json) {
        line.appendf("%u %u %x\n", status.led, status.push, status.jump);
        return;
    }
    JsonObject object(line);
    object.number("led", status.led);
    object.number("push", status.push);
    object.number("jump", status.jump);
    object.end();
}

void formatWatchEvent(TextBuffer& line, WatchEvent event, bool json)
{
    const char* name = WATCH_EVENT_NAMES[static_cast<int>(event)];
    if (!json) {
        line.appendf("%s\n", name);
        return;
    }
    JsonObject object(line);
    object.string("event", name);
    object.end();
}

void formatListEntry(TextBuffer& line, const ListEntry& entry, bool json)
{
    const bool usable = entry.reason == nullptr;
    if (!json) {
        line.appendf("%03u/%03u\t", entry.address.bus, entry.address.device);
        if (usable) {
            line.append("usable\t");
            appendPrintable(line, entry.strings->manufacturer.data());
            line.append("\t");
            appendPrintable(line, entry.strings->product.data());
            line.append("\t");
            appendPrintable(line, entry.strings->serial.data());
        } else {
            line.appendf("unusable\t%s", entry.reason);
        }
        line.append("\t");
        appendPrintable(line, entry.path);
        line.append("\n");
        return;
    }
    JsonObject object(line);
    object.number("bus", entry.address.bus);
    object.number("device", entry.address.device);
    optionalString(object, "path", entry.path);
    object.boolean("usable", usable);
    if (!usable) {
        object.string("reason", entry.reason);
    }
    optionalString(object, "manufacturer", usable ? entry.strings->manufacturer.data() : nullptr);
    optionalString(object, "product", usable ? entry.strings->product.data() : nullptr);
    optionalString(object, "serial", usable ? entry.strings->serial.data() : nullptr);
    object.end();
}
