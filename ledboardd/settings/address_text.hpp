// The addresses the settings name: the MQTT broker's and where HTTP listens, and the pieces of
// an address the HTTP front end's Host checks share. Pure, for the unit tests and the fuzzer.
#pragma once

#include <string>
#include <string_view>

namespace ledboardd {

// A broker address as given to --broker: HOST, HOST:PORT, [IPV6] or [IPV6]:PORT; the port 1 to
// 65535, defaulting to `defaultPort`. `ok` is false for anything else.
struct BrokerAddress {
    std::string host;
    int port;
    bool ok;
};
BrokerAddress parseBroker(std::string_view text, int defaultPort);

// Where --http listens: ADDR:PORT, [IPV6]:PORT, or a bare PORT meaning 127.0.0.1:PORT.
struct HttpAddress {
    std::string host;
    int port;
    bool ok;
};
inline constexpr const char* DEFAULT_HTTP_HOST = "127.0.0.1";
HttpAddress parseHttpAddress(std::string_view text);

// True for "localhost", 127.0.0.0/8 and ::1: addresses other hosts cannot reach.
bool isLoopbackHost(std::string_view host);

// The pieces of an address the readers above and the HTTP front end's checks share.
bool isIpv4(std::string_view text);
bool isIpv6(std::string_view text);
// A port, 1 to 65535 in decimal without a sign; -1 for anything else.
int readPort(std::string_view text);
bool equalsIgnoringCase(std::string_view a, std::string_view b);

} // namespace ledboardd
