# Run as a script (cmake -P): writes OUTPUT, a C++ file that holds every file of FILES as a byte
# array with its URL path ("/NAME") and content type, for ledboardd's web page. The page is served
# from these arrays only: the daemon never reads a web file from disk.
#   cmake -DOUTPUT=web_assets.cpp -DFILES="a;b" -P EmbedFiles.cmake
if(NOT OUTPUT OR NOT FILES)
  message(FATAL_ERROR "EmbedFiles.cmake needs OUTPUT and FILES")
endif()

function(content_type_of name result)
  string(TOLOWER "${name}" lower)
  if(lower MATCHES "\\.html?$")
    set(type "text/html; charset=utf-8")
  elseif(lower MATCHES "\\.m?js$")
    set(type "text/javascript; charset=utf-8")
  elseif(lower MATCHES "\\.css$")
    set(type "text/css; charset=utf-8")
  elseif(lower MATCHES "\\.svg$")
    set(type "image/svg+xml")
  elseif(lower MATCHES "\\.png$")
    set(type "image/png")
  elseif(lower MATCHES "\\.ico$")
    set(type "image/x-icon")
  elseif(lower MATCHES "\\.json$")
    set(type "application/json")
  else()
    set(type "application/octet-stream")
  endif()
  set(${result} "${type}" PARENT_SCOPE)
endfunction()

set(arrays "")
set(entries "")
set(index 0)
list(SORT FILES)
foreach(file IN LISTS FILES)
  get_filename_component(name "${file}" NAME)
  if(NOT name MATCHES "^[A-Za-z0-9._-]+$")
    message(FATAL_ERROR "web file ${name}: only letters, digits, '.', '_' and '-' in its name")
  endif()
  file(READ "${file}" hex HEX)
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  # "0x41, " per byte, sixteen bytes a line.
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${hex}")
  string(REGEX REPLACE "((0x[0-9a-f][0-9a-f], ){16})" "\\1\n    " bytes "${bytes}")
  content_type_of("${name}" type)
  # A trailing zero keeps an empty file's array legal; the size leaves it out.
  string(APPEND arrays "constexpr unsigned char file${index}[] = {\n    ${bytes}0};\n")
  string(APPEND entries "        {\"/${name}\", \"${type}\", {file${index}, ${size}}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(text "// Generated from ledboardd/web/ by cmake/EmbedFiles.cmake; do not edit.
#include \"web_assets.hpp\"

#include <array>

namespace ledboardd {

namespace {

${arrays}
} // namespace

std::span<const WebAsset> webAssets()
{
    static constexpr std::array<WebAsset, ${index}> assets{{
${entries}    }};
    return assets;
}

} // namespace ledboardd
")
# Rewritten only when it changes, so that an unchanged page rebuilds nothing.
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" previous)
endif()
if(NOT previous STREQUAL text)
  file(WRITE "${OUTPUT}" "${text}")
endif()
