// Every board the daemon has seen since it started, present or away, with its last status: what
// the HTTP front end answers from. It takes the core's events like any front end, so that the
// HTTP server never waits on a board; requests wait on the registry instead, and event streams
// subscribe to it.
#pragma once

#include "boards.hpp"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace ledboardd {

// One board as the API shows it.
struct BoardView {
    BoardInfo info;
    BoardStatus status{}; // the last one it reported
    bool available = false;
    std::optional<int> pending; // an LED value kept for its return while it is away
};

// What a subscriber receives, in the order the core reported it.
struct RegistryEvent {
    enum class Kind { Arrived, State, Left, Button };
    Kind kind;
    BoardView board; // for a button event: the board as it stands
    bool pressed = false;
};

// One event stream's queue. Filled by the boards' threads without waiting; emptied by the
// stream's own thread. A stream that falls too far behind is dropped, not waited for.
class Subscription {
public:
    explicit Subscription(std::size_t capacity) : capacity_(capacity) {}

    // Takes the events queued so far, waiting at most `limit` for one. Returns an empty list on
    // timeout, and also once the subscription is closed or dropped (see isOpen).
    std::vector<std::shared_ptr<const RegistryEvent>> take(std::chrono::milliseconds limit);
    // False once the registry closed it (shutdown) or dropped it (overflow).
    bool isOpen();
    void close();

private:
    friend class Registry;
    // Called with the registry's lock held; never blocks.
    void push(const std::shared_ptr<const RegistryEvent>& event);

    const std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::shared_ptr<const RegistryEvent>> queue_;
    bool open_ = true;
};

class Registry final : public BoardEvents {
public:
    // Boards ever seen are kept; this bounds them against a host that makes up serial numbers.
    static constexpr std::size_t MAX_BOARDS = 1024;

    void boardArrived(const BoardInfo& board, const BoardStatus& status) override;
    void boardLeft(const std::string& id) override;
    void stateChanged(const std::string& id, const BoardStatus& status) override;
    void buttonChanged(const std::string& id, bool pressed) override;
    // Shown as the board's "pending" value, whichever front end set it.
    void ledKept(const std::string& id, int value) override { setPending(id, value); }
    void ledApplied(const std::string& id, int value) override;

    // Every board, by id.
    std::vector<BoardView> boards();
    std::optional<BoardView> board(const std::string& id);

    // Remembers `value` as the one the board gets when it comes back (shown as "pending"), and
    // tells the subscribers with a state event when it differs from the one kept before. The
    // core keeps the value itself; this is what the API reports. False for an unknown id.
    bool setPending(const std::string& id, int value);

    // How many LED commands the board has had applied so far: taken before a command is passed
    // to the core, it tells waitForLed which application is the command's own.
    std::uint64_t ledsApplied(const std::string& id);

    // Waits at most `limit` until an LED command applied after the first `since` is reported
    // for the board (see ledsApplied), or the board leaves. Returns the board as it then stands,
    // and whether that command was `value` and the board reports its lamps (`reported`);
    // nullopt for an unknown id. Waiting for the status alone would not do: a board that
    // already shows the lamps would answer before the command went out.
    struct Outcome {
        BoardView board;
        bool reached;
    };
    std::optional<Outcome> waitForLed(const std::string& id, std::uint64_t since, int value,
                                      unsigned reported, std::chrono::milliseconds limit);

    // A new subscription and, taken at the same moment, every board: no event falls between
    // the two. Events go to at most `maxSubscribers` streams; beyond that, nullptr.
    struct Subscribed {
        std::shared_ptr<Subscription> subscription;
        std::vector<BoardView> boards;
    };
    Subscribed subscribe(std::size_t capacity, std::size_t maxSubscribers);
    void unsubscribe(const std::shared_ptr<Subscription>& subscription);
    // Closes every subscription, so that their streams end (shutdown).
    void closeAll();

private:
    std::vector<BoardView> boardsLocked() const;
    void publishLocked(RegistryEvent::Kind kind, const BoardView& board, bool pressed = false);

    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, BoardView> boards_;
    // Per board: how many LED commands were applied, and the last one's value.
    struct Applied {
        std::uint64_t count = 0;
        int value = -1;
    };
    std::map<std::string, Applied> applied_;
    std::vector<std::shared_ptr<Subscription>> subscribers_;
};

} // namespace ledboardd
