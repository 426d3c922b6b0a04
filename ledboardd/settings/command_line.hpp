// The daemon's options as given, from its command line and its configuration file (same keys; the
// command line wins), before any is judged: CLI11 reads the line, settings_text.hpp the file.
// Every value keeps where it came from, so that a refusal names the option, or the file, line and
// key.
#pragma once

#include "settings_files.hpp"

#include <CLI/CLI.hpp>

#include <map>
#include <string>
#include <vector>

namespace ledboardd {

// A board's lines in the configuration file: a [board] section.
struct BoardSection {
    std::map<std::string, Given> values; // by key
    std::string origin;                  // "FILE:LINE" of its [board] line
};

class CommandLine {
public:
    CommandLine(int argc, const char* const* argv, const char* defaultConfigFile);

    // Reads the command line, then the configuration file (--config's, else the default one when
    // it exists). Throws CLI11's help and version requests and parse errors, or Refused.
    void read();

    // CLI11's "--broker: 1 required HOST[:PORT] missing" in the program's words.
    std::string missingValue(const CLI::ArgumentMismatch& error) const;

    // A value setting (the long option without its dashes), as given.
    const Given& value(const std::string& key) const { return values_.at(key); }
    // A switch (discovery, metrics): its value, from the line, the file or its default.
    bool enabled(const std::string& key) const { return switches_.at(key); }
    const std::vector<BoardSection>& boards() const { return boards_; }
    std::string help() const { return app_.help(); }

private:
    void readConfigFile();
    void readFileEntry(const std::string& path, const ConfigEntry& entry,
                       std::map<std::string, const ConfigEntry*>& switchEntries);

    int argc_;
    const char* const* argv_;
    const char* defaultConfigFile_;
    CLI::App app_{"Bridges this host's LED boards to an MQTT broker and, with --http, to HTTP.",
                  "ledboardd"};
    Given config_;
    std::map<std::string, Given> values_;
    std::map<std::string, CLI::Option*> options_;
    std::map<std::string, bool> switches_;
    std::map<std::string, CLI::Option*> switchOptions_;
    std::vector<BoardSection> boards_;
};

} // namespace ledboardd
