#include "settings_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ledboardd {

namespace {

// A password file is one line; anything much longer is not one.
constexpr std::size_t MAX_PASSWORD_LENGTH = 4096;
// The first PEM block of a certificate bundle is near its start; Debian's whole bundle of
// authorities is about 200 KiB.
constexpr std::size_t PEM_SEARCH_LIMIT = std::size_t{4} * 1024 * 1024;
// A value quoted in a message is cut after this many bytes.
constexpr std::size_t QUOTED_LIMIT = 60;

// The descriptor of an open file, closed when it goes.
class OpenFile {
public:
    explicit OpenFile(const std::string& path)
        : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK))
    {
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile()
    {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    int fd() const { return fd_; }

private:
    int fd_;
};

[[noreturn]] void refuseUnreadable(const std::string& origin, const std::string& path, int error)
{
    std::string message = origin;
    message.append(": cannot read ").append(path).append(": ").append(std::strerror(error));
    refuse(std::move(message));
}

} // namespace

[[noreturn]] void refuse(std::string message)
{
    throw Refused{std::move(message)};
}

// `text` in double quotes for a message: control characters and bytes outside ASCII escaped,
// so that a message stays one printable line, and a long text cut short.
std::string inQuotes(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text.substr(0, QUOTED_LIMIT)) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\t') {
            out += "\\t";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7f) {
            std::array<char, 5> escaped{};
            std::snprintf(escaped.data(), escaped.size(), "\\x%02x", byte);
            out += escaped.data();
        } else {
            out += c;
        }
    }
    out += text.size() > QUOTED_LIMIT ? "\"..." : "\"";
    return out;
}

// The first `limit` bytes of the regular file at `path`, read at start so that a file the
// daemon cannot use ends it with a bad configuration rather than failing later, at each
// connection attempt. Opened without blocking, so that a FIFO named by mistake is refused, not
// waited on.
std::string readFileStart(const std::string& origin, const std::string& path, std::size_t limit)
{
    if (path.empty()) {
        refuse(origin + ": an empty file name");
    }
    const OpenFile file(path);
    struct stat status {};
    if (file.fd() < 0 || fstat(file.fd(), &status) != 0) {
        refuseUnreadable(origin, path, errno);
    }
    if (S_ISDIR(status.st_mode)) {
        refuse(origin + ": " + path + " is a directory, not a file");
    }
    if (!S_ISREG(status.st_mode)) {
        refuse(origin + ": " + path + " is not a regular file");
    }
    std::string text(std::min<std::size_t>(limit, static_cast<std::size_t>(status.st_size)), '\0');
    std::size_t filled = 0;
    while (filled < text.size()) {
        const ssize_t got = ::read(file.fd(), text.data() + filled, text.size() - filled);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            refuseUnreadable(origin, path, errno);
        }
        if (got == 0) {
            break;
        }
        filled += static_cast<std::size_t>(got);
    }
    text.resize(filled);
    return text;
}

namespace {

std::string firstLine(std::string_view text)
{
    return std::string{text.substr(0, text.find('\n'))};
}

} // namespace

std::string readPassword(const Given& file)
{
    std::string password = firstLine(readFileStart(file.origin, file.text, MAX_SETTINGS_FILE));
    if (!password.empty() && password.back() == '\r') {
        password.pop_back();
    }
    if (password.size() > MAX_PASSWORD_LENGTH) {
        refuse(file.origin + ": " + file.text + " holds no password (its first line is too long)");
    }
    return password;
}

// The HTTP token: the first line of its file, without the white space around it.
std::string readToken(const Given& file)
{
    std::string token = firstLine(readFileStart(file.origin, file.text, MAX_SETTINGS_FILE));
    const std::size_t first = token.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) {
        refuse(file.origin + ": " + file.text + " holds no token (its first line is empty)");
    }
    token.erase(token.find_last_not_of(" \t\r\n") + 1);
    token.erase(0, first);
    if (token.size() > MAX_PASSWORD_LENGTH) {
        refuse(file.origin + ": " + file.text + " holds no token (its first line is too long)");
    }
    return token;
}

// A certificate or key file: readable, regular, and holding a PEM block of its kind, which is
// all the TLS library reads. Whether the certificates are right (signed by the broker's
// authority, the key matching) only the connection shows.
void checkPemFile(const Given& file, PemKind kind)
{
    if (!holdsPemBlock(readFileStart(file.origin, file.text, PEM_SEARCH_LIMIT), kind)) {
        refuse(file.origin + ": " + file.text + " holds no PEM " +
               (kind == PemKind::Certificate ? "certificate" : "private key"));
    }
}

// Why `directory` cannot hold the state file (not a folder, not writable), or an empty text.
std::string stateDirectoryProblem(const std::string& directory)
{
    struct stat status {};
    if (stat(directory.c_str(), &status) != 0) {
        return std::strerror(errno);
    }
    if (!S_ISDIR(status.st_mode)) {
        return "not a directory";
    }
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        return std::strerror(errno);
    }
    return {};
}

// ASCII letters in lower case, whatever the locale.
std::string lowerCase(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

bool readSwitch(const std::string& origin, const std::string& text)
{
    const std::string lower = lowerCase(text);
    for (const char* yes : {"true", "yes", "on", "1"}) {
        if (lower == yes) {
            return true;
        }
    }
    for (const char* no : {"false", "no", "off", "0"}) {
        if (lower == no) {
            return false;
        }
    }
    refuse(origin + ": " + inQuotes(text) + " is not true or false");
}

} // namespace ledboardd
