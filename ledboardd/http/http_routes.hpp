// The checks every request passes before any of its body is read (sizes, framing, Host, the
// token, Origin), the route table, and the page's files; then the API's handlers (http_api.hpp).
#pragma once

#include "http_api.hpp"

#include <map>
#include <string>
#include <string_view>

namespace ledboardd {

class Routes {
public:
    Routes(const HttpOptions& options, Api& api, Plumbing& plumbing);

    // The library's access handler (see MHD_AccessHandlerCallback).
    MHD_Result handle(MHD_Connection* connection, const char* url, const char* method,
                      const char* upload, std::size_t* uploadSize, void** context);

private:
    const HttpOptions& options_;
    Api& api_;
    Plumbing& plumbing_;
    // The page's files by path, made once and sent as often as asked for.
    std::map<std::string, ResponsePtr, std::less<>> assets_;
};

} // namespace ledboardd
