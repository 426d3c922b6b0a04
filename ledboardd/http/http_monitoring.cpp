// What a load balancer, systemd or Prometheus asks of the daemon: /healthz, and /metrics.
#include "health.hpp"
#include "http_api.hpp"
#include "metrics_text.hpp"

namespace ledboardd {

namespace {

constexpr unsigned OK = 200;
constexpr unsigned UNAVAILABLE = 503;

} // namespace

MHD_Result Api::health(MHD_Connection* connection, bool authorized)
{
    const std::chrono::milliseconds limit = options_.interval * UNREAD_INTERVALS;
    const Health judged = judgeHealth(hub_.frontEnds(), hub_.unread(limit), limit, authorized);
    return respond(connection, judged.ok ? OK : UNAVAILABLE, healthJson(judged));
}

MHD_Result Api::metrics(MHD_Connection* connection)
{
    // The counters first: a board that arrives between the two reads is left out until the next
    // scrape, rather than shown without them.
    const std::vector<BoardCounters> counters = hub_.counters();
    const std::string text = metricsText(counters, hub_.boards(), hub_.frontEnds());
    const ResponsePtr response{MHD_create_response_from_buffer(
        text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY)};
    if (!response) {
        return MHD_NO;
    }
    addCommonHeaders(response.get());
    MHD_add_response_header(response.get(), "Content-Type", METRICS_CONTENT_TYPE);
    return MHD_queue_response(connection, OK, response.get());
}

} // namespace ledboardd
