#include "http_routes.hpp"

#include "api_json.hpp"
#include "http_rules.hpp"
#include "led_command.hpp"
#include "led_switch.hpp"
#include "web_assets.hpp"

#include <array>
#include <cstring>
#include <optional>
#include <vector>

namespace ledboardd {

namespace {

// The request line's target and the headers together; anything longer is no request of the
// page's or the API's.
constexpr std::size_t MAX_URL = 8192;
constexpr std::size_t MAX_HEADER_BYTES = 8192;
constexpr const char* TOKEN_COOKIE = "ledboardd_token";

constexpr unsigned OK = 200;
constexpr unsigned BAD_REQUEST = 400;
constexpr unsigned UNAUTHORIZED = 401;
constexpr unsigned FORBIDDEN = 403;
constexpr unsigned NOT_FOUND = 404;
constexpr unsigned METHOD_NOT_ALLOWED = 405;
constexpr unsigned PAYLOAD_TOO_LARGE = 413;
constexpr unsigned URI_TOO_LONG = 414;
constexpr unsigned HEADERS_TOO_LARGE = 431;
constexpr unsigned FIRST_REFUSAL = 400;

// A path's segments are words, a board id (`{id}`: anything but empty), or an LED (`{led}`).
constexpr std::string_view ID_SEGMENT = "{id}";
constexpr std::string_view LED_SEGMENT = "{led}";
// The methods one path is served with; the rest of the array is null.
constexpr std::size_t MAX_METHODS = 2;
struct MethodRoute {
    const char* method;
    Route route;
};
struct RouteEntry {
    std::string_view pattern;
    std::array<MethodRoute, MAX_METHODS> methods;
};
constexpr std::string_view METRICS_PATH = "/metrics";
constexpr std::array<RouteEntry, 7> ROUTES{{
    {"/api/boards", {{{MHD_HTTP_METHOD_GET, Route::Boards}}}},
    {"/api/boards/{id}",
     {{{MHD_HTTP_METHOD_GET, Route::Board}, {MHD_HTTP_METHOD_DELETE, Route::Retire}}}},
    {"/api/boards/{id}/led", {{{MHD_HTTP_METHOD_PUT, Route::Led}}}},
    {"/api/boards/{id}/leds/{led}", {{{MHD_HTTP_METHOD_PUT, Route::OneLed}}}},
    {"/api/events", {{{MHD_HTTP_METHOD_GET, Route::Events}}}},
    {"/healthz", {{{MHD_HTTP_METHOD_GET, Route::Health}}}},
    {METRICS_PATH, {{{MHD_HTTP_METHOD_GET, Route::Metrics}}}},
}};

// Whether `path` has the segments of `pattern`, and what it names.
bool matches(std::string_view pattern, std::string_view path, Request& target)
{
    while (!pattern.empty() || !path.empty()) {
        if (!pattern.starts_with('/') || !path.starts_with('/')) {
            return false;
        }
        pattern.remove_prefix(1);
        path.remove_prefix(1);
        const std::string_view word = pattern.substr(0, pattern.find('/'));
        const std::string_view given = path.substr(0, path.find('/'));
        pattern.remove_prefix(word.size());
        path.remove_prefix(given.size());
        if (word == ID_SEGMENT && !given.empty()) {
            target.id = given;
        } else if (word == LED_SEGMENT && !given.empty()) {
            target.led = parseLedIndex(given);
        } else if (word != given) {
            return false;
        }
    }
    return true;
}

// The entry `path` names, with what it names; nullptr for none.
const RouteEntry* match(std::string_view path, Request& target)
{
    for (const RouteEntry& entry : ROUTES) {
        if (matches(entry.pattern, path, target)) {
            return &entry;
        }
    }
    return nullptr;
}

// The route `method` takes on `entry`, HEAD wherever GET is served; nullptr for none.
const MethodRoute* routeFor(const RouteEntry& entry, std::string_view method)
{
    for (const MethodRoute& served : entry.methods) {
        if (served.method != nullptr &&
            (method == served.method || (method == MHD_HTTP_METHOD_HEAD &&
                                         std::string_view{served.method} == MHD_HTTP_METHOD_GET))) {
            return &served;
        }
    }
    return nullptr;
}

// Allow's value: every method served there.
std::string allowed(const RouteEntry& entry)
{
    std::string list;
    for (const MethodRoute& served : entry.methods) {
        if (served.method != nullptr) {
            list += (list.empty() ? "" : ", ") + std::string{served.method};
        }
    }
    return list;
}

MHD_Result collect(void* fields, MHD_ValueKind /*kind*/, const char* name, std::size_t nameSize,
                   const char* value, std::size_t valueSize)
{
    static_cast<std::vector<HeaderField>*>(fields)->push_back(
        {{name, nameSize}, {value == nullptr ? "" : value, valueSize}});
    return MHD_YES;
}

std::string_view headerValue(const std::vector<HeaderField>& fields, std::string_view name,
                             bool& present)
{
    for (const HeaderField& field : fields) {
        if (field.name.size() == name.size() &&
            std::equal(name.begin(), name.end(), field.name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            })) {
            present = true;
            return field.value;
        }
    }
    present = false;
    return {};
}

std::string_view headerValue(const std::vector<HeaderField>& fields, std::string_view name)
{
    bool present = false;
    return headerValue(fields, name, present);
}

} // namespace

void addCommonHeaders(MHD_Response* response)
{
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Content-Security-Policy", "default-src 'self'");
    MHD_add_response_header(response, "Cache-Control", "no-store");
}

MHD_Result respond(MHD_Connection* connection, unsigned status, const std::string& body,
                   std::initializer_list<HeaderLine> headers)
{
    const ResponsePtr response{MHD_create_response_from_buffer(
        body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY)};
    if (!response) {
        return MHD_NO;
    }
    addCommonHeaders(response.get());
    MHD_add_response_header(response.get(), "Content-Type", "application/json");
    for (const HeaderLine& header : headers) {
        MHD_add_response_header(response.get(), header.name, header.value);
    }
    if (status >= FIRST_REFUSAL) {
        // Answered with the rest of the request, if any, unread: nothing more is taken on this
        // connection, where that rest would be read as the next request.
        MHD_add_response_header(response.get(), "Connection", "close");
    }
    return MHD_queue_response(connection, status, response.get());
}

MHD_Result refuse(MHD_Connection* connection, unsigned status, std::string_view why)
{
    return respond(connection, status, errorJson(why));
}

Routes::Routes(const HttpOptions& options, Api& api, Plumbing& plumbing)
    : options_(options), api_(api), plumbing_(plumbing)
{
    for (const WebAsset& asset : webAssets()) {
        ResponsePtr response{MHD_create_response_from_buffer(
            asset.bytes.size(), const_cast<void*>(static_cast<const void*>(asset.bytes.data())),
            MHD_RESPMEM_PERSISTENT)};
        addCommonHeaders(response.get());
        const std::string type{asset.contentType};
        MHD_add_response_header(response.get(), "Content-Type", type.c_str());
        assets_.emplace(std::string{asset.path}, std::move(response));
    }
}

MHD_Result Routes::handle(MHD_Connection* connection, const char* url, const char* method,
                          const char* upload, std::size_t* uploadSize, void** context)
{
    if (*context != nullptr) {
        // A request with a body, past its head.
        return api_.handle(connection, Request{}, method, upload, uploadSize, context);
    }
    // The head is in, and none of the body has been read.
    std::vector<HeaderField> fields;
    std::size_t headerBytes = 0;
    MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &collect, &fields);
    for (const HeaderField& field : fields) {
        headerBytes += field.name.size() + field.value.size();
    }
    const std::string_view path = url;
    if (path.size() > MAX_URL) {
        return refuse(connection, URI_TOO_LONG, "URI too long");
    }
    if (headerBytes > MAX_HEADER_BYTES) {
        return refuse(connection, HEADERS_TOO_LARGE, "request headers too large");
    }
    const RequestFraming framing = readFraming(fields);
    if (framing.refusal != nullptr) {
        return refuse(connection, BAD_REQUEST, framing.refusal);
    }
    const std::string_view host = headerValue(fields, "Host");
    if (!isAllowedHost(host, options_.port, options_.hostName)) {
        // A name this server does not know as its own: possibly a page that had its own name
        // point here (DNS rebinding).
        return refuse(connection, FORBIDDEN, "Host does not name this server");
    }
    // The API and the metrics need the token, when there is one, and the page's own Origin.
    const bool guarded = path.starts_with("/api/") || (options_.metrics && path == METRICS_PATH);
    std::optional<std::string> given;
    if (options_.token) {
        given = bearerToken(headerValue(fields, "Authorization"));
        if (!given) {
            given = cookieValue(headerValue(fields, "Cookie"), TOKEN_COOKIE);
        }
    }
    Request target;
    target.authorized = !options_.token || (given && tokensMatch(*given, *options_.token));
    if (guarded && !target.authorized) {
        return respond(
            connection, UNAUTHORIZED,
            errorJson(given ? "wrong token" : "a token is needed (Authorization: Bearer)"),
            {{"WWW-Authenticate", "Bearer"}});
    }
    const RouteEntry* entry = match(path, target);
    if (entry != nullptr && entry->pattern == METRICS_PATH && !options_.metrics) {
        entry = nullptr;
    }
    const auto asset = assets_.find(path == "/" ? std::string_view{"/index.html"} : path);
    if (entry == nullptr && asset == assets_.end()) {
        return refuse(connection, NOT_FOUND, "not found");
    }
    // The page's files are served as GET's are.
    constexpr RouteEntry ASSET{"", {{{MHD_HTTP_METHOD_GET, Route::Asset}}}};
    const RouteEntry& served = entry != nullptr ? *entry : ASSET;
    const MethodRoute* taken = routeFor(served, method);
    if (taken == nullptr) {
        const std::string allow = allowed(served);
        return respond(connection, METHOD_NOT_ALLOWED,
                       errorJson(std::string{method} + " not allowed here; use " + allow),
                       {{"Allow", allow.c_str()}});
    }
    const Route route = taken->route;
    target.route = route;
    if (guarded) {
        // A page elsewhere may have the user's browser send a write here, or read the event
        // stream (EventSource may cross origins): only the page served from here may. Clients
        // other than browsers send no Origin.
        bool present = false;
        const std::string_view origin = headerValue(fields, "Origin", present);
        if (present && !isSameOrigin(origin, host)) {
            return refuse(connection, FORBIDDEN, "only this server's own page may use the API");
        }
    }
    if (route == Route::Asset) {
        plumbing_.received(connection);
        return MHD_queue_response(connection, OK, asset->second.get());
    }
    if (route == Route::OneLed && target.led == 0) {
        return api_.refuseCommand(connection, NOT_FOUND,
                                  "no such LED: they are 1 to " + std::to_string(LED_COUNT));
    }
    if (route == Route::Retire && framing.hasBody()) {
        // A body means nothing here: refused rather than read and dropped.
        return api_.refuseCommand(connection, BAD_REQUEST, "DELETE takes no body");
    }
    if (route == Route::Led || route == Route::OneLed) {
        if (!framing.hasBody()) {
            return api_.refuseCommand(connection, BAD_REQUEST,
                                      "no body (send it with a Content-Length)");
        }
        if (framing.contentLength > MAX_LED_REQUEST) {
            return api_.refuseCommand(connection, PAYLOAD_TOO_LARGE,
                                      "body too large (at most 1 KiB)");
        }
    }
    return api_.handle(connection, std::move(target), method, upload, uploadSize, context);
}

} // namespace ledboardd
