#include "bus_watch.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { closedir(directory); }
};

// FNV-1a (64 bit): small, and spreads the few fields well enough to tell two states apart.
constexpr std::uint64_t FNV_OFFSET = 0xcbf29ce484222325ULL;
constexpr std::uint64_t FNV_PRIME = 0x100000001b3ULL;

void mix(std::uint64_t& digest, const void* data, std::size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i) {
        digest = (digest ^ bytes[i]) * FNV_PRIME;
    }
}

template <typename Value>
void mixValue(std::uint64_t& digest, const Value& value)
{
    mix(digest, &value, sizeof value);
}

// Entries come in readdir order, which is stable while a directory does not change; a change
// changes the order or the names, and so the digest.
template <typename Visit>
void forEachEntry(const char* directory, Visit&& visit)
{
    const std::unique_ptr<DIR, DirectoryCloser> dir{opendir(directory)};
    if (!dir) {
        return;
    }
    while (const dirent* entry = readdir(dir.get())) {
        if (entry->d_name[0] != '.') {
            visit(entry->d_name);
        }
    }
}

} // namespace

std::uint64_t usbBusFingerprint(const char* root)
{
    std::uint64_t digest = FNV_OFFSET;
    forEachEntry(root, [&](const char* bus) {
        std::array<char, PATH_MAX> busPath{};
        std::snprintf(busPath.data(), busPath.size(), "%s/%s", root, bus);
        mix(digest, bus, std::strlen(bus) + 1);
        forEachEntry(busPath.data(), [&](const char* node) {
            std::array<char, PATH_MAX + NAME_MAX + 2> nodePath{};
            std::snprintf(nodePath.data(), nodePath.size(), "%s/%s", busPath.data(), node);
            mix(digest, node, std::strlen(node) + 1);
            struct stat status {};
            if (stat(nodePath.data(), &status) == 0) {
                mixValue(digest, status.st_ino);
                mixValue(digest, status.st_mode);
                mixValue(digest, status.st_uid);
                mixValue(digest, status.st_gid);
                mixValue(digest, status.st_ctim.tv_sec);
                mixValue(digest, status.st_ctim.tv_nsec);
            }
        });
    });
    return digest;
}
