// What a load balancer, systemd or Prometheus asks of the daemon: /healthz, and /metrics.
#include "health.hpp"
#include "http_api.hpp"

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

} // namespace ledboardd
