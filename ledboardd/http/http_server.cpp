// Placeholder while the HTTP front end moves to the hub: refuses to start.
#include "http_server.hpp"

#include "log.hpp"

namespace ledboardd {

HttpServer::HttpServer(HttpOptions options, Hub& hub) : options_(std::move(options)), hub_(hub) {}

HttpServer::~HttpServer() = default;

bool HttpServer::start()
{
    logLine(LogLevel::Error, "HTTP is not built yet");
    return false;
}

bool HttpServer::stop(std::chrono::milliseconds /*limit*/)
{
    return true;
}

} // namespace ledboardd
