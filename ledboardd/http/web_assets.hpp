// The web page's files, built into the binary from ledboardd/web/ (see cmake/EmbedFiles.cmake).
#pragma once

#include <span>
#include <string_view>

namespace ledboardd {

struct WebAsset {
    std::string_view path; // "/index.html"
    std::string_view contentType;
    std::span<const unsigned char> bytes;
};

// Every file, by path.
std::span<const WebAsset> webAssets();

} // namespace ledboardd
