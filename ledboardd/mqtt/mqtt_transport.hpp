// What the bridge needs of an MQTT client, and what it hears from one: the seam between the
// bridge's policy and libmosquitto, so that the unit tests put a fake client that records every
// publication in its place.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ledboardd {

class MqttTransport {
public:
    virtual ~MqttTransport() = default;
    // Queues a QoS 1 publication. Returns its message id, or nothing when it was not queued (not
    // connected, out of memory).
    virtual std::optional<int> publish(const std::string& topic, std::string_view payload,
                                       bool retain) = 0;
    // Subscribes with QoS 1. Returns the request's message id (see MqttEvents::subscribed).
    virtual std::optional<int> subscribe(const std::string& pattern) = 0;

protected:
    MqttTransport() = default;
    MqttTransport(const MqttTransport&) = default;
    MqttTransport& operator=(const MqttTransport&) = default;
};

// Called from the client's own thread, one at a time.
class MqttEvents {
public:
    virtual ~MqttEvents() = default;
    virtual void connected() = 0;
    virtual void disconnected() = 0;
    virtual void message(const std::string& topic, std::string_view payload, bool retain) = 0;
    // The broker acknowledged message `messageId`.
    virtual void published(int messageId) = 0;
    // The broker granted subscription request `messageId`; the retained messages of the requests
    // made before it have come.
    virtual void subscribed(int messageId) = 0;

protected:
    MqttEvents() = default;
    MqttEvents(const MqttEvents&) = default;
    MqttEvents& operator=(const MqttEvents&) = default;
};

} // namespace ledboardd
