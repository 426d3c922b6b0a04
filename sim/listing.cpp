#include "listing.hpp"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>

namespace sim {

namespace {

std::string joined(const std::vector<std::string>& names)
{
    std::string text;
    for (const auto& name : names) {
        text += (text.empty() ? "" : " ") + name;
    }
    return text;
}

} // namespace

std::vector<std::string> listing(const std::string& directory)
{
    const std::unique_ptr<DIR, int (*)(DIR*)> dir{opendir(directory.c_str()), &closedir};
    if (!dir) {
        throw std::runtime_error("cannot list " + directory + ": " + std::strerror(errno));
    }
    std::vector<std::string> names;
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] != '.') {
            names.emplace_back(entry->d_name);
        }
    }
    return names;
}

bool listsNewestFirst(const std::string& parent)
{
    const std::string probe = parent + "/order-probe";
    if (mkdir(probe.c_str(), 0700) != 0) {
        throw std::runtime_error("cannot create " + probe + ": " + std::strerror(errno));
    }
    for (const char* name : {"/1", "/2"}) {
        std::FILE* file = std::fopen((probe + name).c_str(), "w");
        if (file != nullptr) {
            std::fclose(file);
        }
    }
    const bool newestFirst = listing(probe) == std::vector<std::string>{"2", "1"};
    for (const char* name : {"/1", "/2"}) {
        unlink((probe + name).c_str());
    }
    rmdir(probe.c_str());
    return newestFirst;
}

void checkListing(const std::string& directory, const std::vector<std::string>& wanted,
                  const std::string& what)
{
    const auto listed = listing(directory);
    if (listed != wanted) {
        throw std::runtime_error("the testbed lists " + what + " as '" + joined(listed) +
                                 "', not '" + joined(wanted) + "' (is " + directory +
                                 " on tmpfs?)");
    }
}

} // namespace sim
