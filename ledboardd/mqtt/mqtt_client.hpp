// libmosquitto behind MqttTransport: the only file that includes mosquitto.h. It connects in its
// own thread, again and again with growing delays, with a persistent session (a stable client id,
// no clean session), so that the broker keeps the commands sent while the daemon is away and
// delivers them when it is back.
#pragma once

#include "mqtt_transport.hpp"

#include <optional>
#include <string>

struct mosquitto;
struct mosquitto_message;

namespace ledboardd {

struct MqttClientOptions {
    std::string host = "localhost";
    int port = 1883;
    std::string clientId;
    std::string username;
    std::optional<std::string> password;
    // TLS when cafile is set; certFile and keyFile (both or neither) for a client certificate.
    std::string cafile;
    std::string certFile;
    std::string keyFile;
    // Published by the broker when the connection is lost without a goodbye.
    std::string willTopic;
    std::string willPayload;
};

class MqttClient final : public MqttTransport {
public:
    MqttClient(MqttClientOptions options, MqttEvents& events);
    ~MqttClient() override;
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // Starts connecting in the background and returns. False, with a log line, when libmosquitto
    // cannot even be set up.
    bool start();
    // Disconnects and ends the client's thread. `connected`: whether a connection is up, whose
    // goodbye can be waited for (otherwise the thread may be inside a connection attempt, which
    // is cancelled rather than waited for).
    void stop(bool connected);

    std::optional<int> publish(const std::string& topic, std::string_view payload,
                               bool retain) override;
    std::optional<int> subscribe(const std::string& pattern) override;

private:
    static void onConnect(mosquitto* client, void* self, int result);
    static void onDisconnect(mosquitto* client, void* self, int result);
    static void onMessage(mosquitto* client, void* self, const mosquitto_message* message);
    static void onPublish(mosquitto* client, void* self, int messageId);
    static void onSubscribe(mosquitto* client, void* self, int messageId, int count,
                            const int* granted);
    static void onLog(mosquitto* client, void* self, int level, const char* text);

    MqttClientOptions options_;
    MqttEvents& events_;
    mosquitto* client_ = nullptr;
    bool running_ = false;
    // The broker's last refusal of the connection (its CONNACK code), 0 after a connection: a
    // refusal is logged once, and a refused connection's end is no loss to log.
    int refusal_ = 0;
};

} // namespace ledboardd
