// Reading the settings' files and saying what is wrong with a setting: the one refusal that ends
// the start, the value as it was given and where, and the files the settings name (configuration,
// password, token, certificates, the state directory), read or looked at when the daemon starts so
// that a file it cannot use ends the start rather than failing later.
#pragma once

#include "settings_text.hpp"

#include <cstddef>
#include <string>
#include <string_view>

namespace ledboardd {

// A configuration file, a password or a token file larger than this is not one.
inline constexpr std::size_t MAX_SETTINGS_FILE = std::size_t{1024} * 1024;

// What ends the reading of the settings: one message, printed as the program's only line.
struct Refused {
    std::string message;
};

[[noreturn]] void refuse(std::string message);

// A value as it was given, and where: "--interval" on the command line, "FILE:LINE: interval" in
// the configuration file (what a message about it starts with). No origin: not given.
struct Given {
    std::string text;
    std::string origin;

    bool given() const { return !origin.empty(); }
};

// `text` in double quotes for a message: control characters and bytes outside ASCII escaped,
// so that a message stays one printable line, and a long text cut short.
std::string inQuotes(std::string_view text);

// The first `limit` bytes of the regular file at `path`, refused with `origin` (the setting that
// names it) when it cannot be read, is a folder or is not a regular file.
std::string readFileStart(const std::string& origin, const std::string& path, std::size_t limit);

// The MQTT password: the first line of its file.
std::string readPassword(const Given& file);
// The HTTP token: the first line of its file, without the white space around it.
std::string readToken(const Given& file);
// A certificate or key file: readable, regular, and holding a PEM block of its kind.
void checkPemFile(const Given& file, PemKind kind);
// ASCII letters in lower case, whatever the locale.
std::string lowerCase(std::string text);
// An on-or-off setting in the file (`discovery = VALUE`): the words such a setting is commonly
// written with (true, yes, on, 1 and their opposites), in any case.
bool readSwitch(const std::string& origin, const std::string& text);
// Why `directory` cannot hold the state file (not a folder, not writable), or an empty text.
std::string stateDirectoryProblem(const std::string& directory);

} // namespace ledboardd
