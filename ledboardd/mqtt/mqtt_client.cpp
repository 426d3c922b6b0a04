#include "mqtt_client.hpp"

#include "log.hpp"

#include <mosquitto.h>

namespace ledboardd {

namespace {

constexpr int QOS = 1; // commands and state: at least once
constexpr int KEEPALIVE_SECONDS = 30;
// Reconnecting: 1 s, then doubling up to 30 s.
constexpr unsigned RECONNECT_FIRST_SECONDS = 1;
constexpr unsigned RECONNECT_MAX_SECONDS = 30;

// The CONNACK codes of a refusal that trying again soon cannot mend (MQTT 3.1.1, 3.2.2.3): a
// wrong user name or password, or a client the broker does not allow.
constexpr int REFUSED_CREDENTIALS = 4;
constexpr int REFUSED_NOT_AUTHORISED = 5;

} // namespace

MqttClient::MqttClient(MqttClientOptions options, MqttEvents& events)
    : options_(std::move(options)), events_(events)
{
}

MqttClient::~MqttClient()
{
    if (client_ != nullptr) {
        if (running_) {
            mosquitto_disconnect(client_);
            mosquitto_loop_stop(client_, true);
        }
        mosquitto_destroy(client_);
        mosquitto_lib_cleanup();
    }
}

bool MqttClient::start()
{
    mosquitto_lib_init();
    // No clean session: the broker keeps the subscription and queues the commands published
    // while this client is away, under its (stable) client id.
    client_ = mosquitto_new(options_.clientId.c_str(), false, this);
    if (client_ == nullptr) {
        logLine(LogLevel::Error, "cannot set up the MQTT client");
        return false;
    }
    mosquitto_connect_callback_set(client_, onConnect);
    mosquitto_disconnect_callback_set(client_, onDisconnect);
    mosquitto_message_callback_set(client_, onMessage);
    mosquitto_publish_callback_set(client_, onPublish);
    mosquitto_subscribe_callback_set(client_, onSubscribe);
    mosquitto_log_callback_set(client_, onLog);
    mosquitto_reconnect_delay_set(client_, RECONNECT_FIRST_SECONDS, RECONNECT_MAX_SECONDS, true);
    // Every packet is small and answers or follows another: with Nagle's algorithm a state
    // published right after the PUBACK of the command that caused it waits for the broker's
    // delayed ACK (40 ms on Linux) first. Failing to set it costs only that delay.
    if (mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1) != MOSQ_ERR_SUCCESS) {
        logLine(LogLevel::Debug, "cannot turn off Nagle's algorithm for MQTT");
    }
    if (!options_.username.empty() &&
        mosquitto_username_pw_set(client_, options_.username.c_str(),
                                  options_.password ? options_.password->c_str() : nullptr) !=
            MOSQ_ERR_SUCCESS) {
        logLine(LogLevel::Error, "cannot set the MQTT user name and password");
        return false;
    }
    if (!options_.cafile.empty()) {
        // The files were found readable when the settings were read; this fails only when one
        // is not what it should be (not PEM, a key that does not match).
        const int tls = mosquitto_tls_set(
            client_, options_.cafile.c_str(), nullptr,
            options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
            options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(), nullptr);
        if (tls != MOSQ_ERR_SUCCESS) {
            logf(LogLevel::Error, "cannot set up TLS with %s: %s", options_.cafile.c_str(),
                 mosquitto_strerror(tls));
            return false;
        }
    }
    // Set before connecting: if the daemon dies, the broker says so for it.
    if (!options_.willTopic.empty() &&
        mosquitto_will_set(client_, options_.willTopic.c_str(),
                           static_cast<int>(options_.willPayload.size()),
                           options_.willPayload.data(), QOS, true) != MOSQ_ERR_SUCCESS) {
        logLine(LogLevel::Error, "cannot set the MQTT last will");
        return false;
    }
    const int connected =
        mosquitto_connect_async(client_, options_.host.c_str(), options_.port, KEEPALIVE_SECONDS);
    if (connected != MOSQ_ERR_SUCCESS) {
        // The client's thread keeps trying with growing delays.
        logf(LogLevel::Warning, "cannot reach the MQTT broker at %s:%d yet: %s",
             options_.host.c_str(), options_.port, mosquitto_strerror(connected));
    }
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        logLine(LogLevel::Error, "cannot start the MQTT client's thread");
        return false;
    }
    running_ = true;
    return true;
}

void MqttClient::stop(bool connected)
{
    if (client_ == nullptr || !running_) {
        return;
    }
    mosquitto_disconnect(client_);
    // Without a connection the thread may be inside a connection attempt that a TLS handshake
    // keeps blocked (seen with nothing listening at the TLS port) and that the disconnect does
    // not interrupt: cancelled, rather than waited for.
    mosquitto_loop_stop(client_, !connected);
    running_ = false;
}

std::optional<int> MqttClient::publish(const std::string& topic, std::string_view payload,
                                       bool retain)
{
    int messageId = 0;
    const int result =
        mosquitto_publish(client_, &messageId, topic.c_str(), static_cast<int>(payload.size()),
                          payload.data(), QOS, retain);
    if (result != MOSQ_ERR_SUCCESS) {
        logf(LogLevel::Debug, "not published to %s: %s", topic.c_str(), mosquitto_strerror(result));
        return std::nullopt;
    }
    return messageId;
}

std::optional<int> MqttClient::subscribe(const std::string& pattern)
{
    int messageId = 0;
    if (mosquitto_subscribe(client_, &messageId, pattern.c_str(), QOS) != MOSQ_ERR_SUCCESS) {
        logf(LogLevel::Error, "cannot subscribe to %s", pattern.c_str());
        return std::nullopt;
    }
    return messageId;
}

void MqttClient::onConnect(mosquitto* client, void* self, int result)
{
    auto& owner = *static_cast<MqttClient*>(self);
    if (result != 0) {
        if (result != owner.refusal_) {
            const bool hopeless = result == REFUSED_CREDENTIALS || result == REFUSED_NOT_AUTHORISED;
            logf(hopeless ? LogLevel::Error : LogLevel::Warning,
                 "the MQTT broker at %s:%d refused the connection: %s%s",
                 owner.options_.host.c_str(), owner.options_.port, mosquitto_connack_string(result),
                 hopeless ? "; trying again every 30 s" : "");
            if (hopeless) {
                // Asking again soon helps nobody: back off to the longest delay at once.
                mosquitto_reconnect_delay_set(client, RECONNECT_MAX_SECONDS, RECONNECT_MAX_SECONDS,
                                              false);
            }
        }
        owner.refusal_ = result;
        return;
    }
    if (owner.refusal_ != 0) {
        mosquitto_reconnect_delay_set(client, RECONNECT_FIRST_SECONDS, RECONNECT_MAX_SECONDS, true);
        owner.refusal_ = 0;
    }
    logf(LogLevel::Info, "connected to the MQTT broker at %s:%d", owner.options_.host.c_str(),
         owner.options_.port);
    owner.events_.connected();
}

void MqttClient::onDisconnect(mosquitto* /*client*/, void* self, int result)
{
    auto& owner = *static_cast<MqttClient*>(self);
    owner.events_.disconnected();
    if (result != 0 && owner.refusal_ == 0) {
        logf(LogLevel::Warning, "lost the MQTT broker (%s); reconnecting",
             mosquitto_strerror(result));
    }
}

void MqttClient::onMessage(mosquitto* /*client*/, void* self, const mosquitto_message* message)
{
    auto& owner = *static_cast<MqttClient*>(self);
    const auto length = message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0;
    const auto* payload = static_cast<const char*>(message->payload);
    owner.events_.message(message->topic,
                          std::string_view{payload != nullptr ? payload : "", length},
                          message->retain);
}

void MqttClient::onPublish(mosquitto* /*client*/, void* self, int messageId)
{
    static_cast<MqttClient*>(self)->events_.published(messageId);
}

void MqttClient::onSubscribe(mosquitto* /*client*/, void* self, int messageId, int /*count*/,
                             const int* /*granted*/)
{
    static_cast<MqttClient*>(self)->events_.subscribed(messageId);
}

void MqttClient::onLog(mosquitto* /*client*/, void* /*self*/, int level, const char* text)
{
    // Only the library's errors: a failed TLS handshake (a wrong CA, a refused client
    // certificate) is told nowhere else.
    if ((level & MOSQ_LOG_ERR) != 0) {
        logf(LogLevel::Warning, "MQTT: %s", text);
    }
}

} // namespace ledboardd
