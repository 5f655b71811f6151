#pragma once

// The relay's HTTP service: the room endpoints, /health, and Prometheus
// metrics on a listener of their own. Every connection runs on its own
// strand of a small pool; nothing here blocks.
#include "options.h"
#include "room_store.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <functional>
#include <memory>
#include <string>

namespace zephlink::relay {

class Server {
public:
    using Log = std::function<void(const std::string&)>;

    Server(boost::asio::io_context& io, const Options& options, RoomStore& store, Log log);
    ~Server();

    // Binds the listeners; throws boost::system::system_error when it cannot.
    void start();
    boost::asio::ip::tcp::endpoint endpoint() const;
    std::optional<boost::asio::ip::tcp::endpoint> metricsEndpoint() const;
    // Stops accepting, answers every held poll at once and calls `stopped`
    // once the answers are out (or after 1.8 s at the latest).
    void stop(std::function<void()> stopped);

    struct State; // shared with the connections, which may outlive the server

private:
    std::shared_ptr<State> state_;
};

} // namespace zephlink::relay
