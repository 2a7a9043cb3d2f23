// The bridge's server: the listener, the I/O thread it owns, and one session per client with its
// bounded queue. Owner's thread: start, stop, channels; any thread: publish; sockets: the I/O thread.
#include "bridge/bridge.h"

#include <utility>  // before Asio 1.74, which uses std::exchange without it

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>

#include <algorithm>
#include <array>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <thread>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using boost::system::error_code;

namespace {

constexpr auto stopGrace = std::chrono::milliseconds(500);   // stop() waits this long for close frames
constexpr auto handshakeTimeout = std::chrono::seconds(10);  // a connection that never upgrades
constexpr uint32_t handshakeHeaderLimit = 8192;
constexpr const char* ioThreadName = "quarvis-bridge";  // seen in top and /proc (the benchmark)
constexpr int statusError = 2;
constexpr int statusWarning = 1;

using Payload = std::shared_ptr<const std::vector<uint8_t>>;

struct DataItem {
    uint32_t channelId = 0;
    std::array<uint8_t, bridgeDataHeaderSize> header{};
    Payload payload;
};

std::string endpointText(const tcp::endpoint& e) {
    const std::string a = e.address().to_string();
    return (e.address().is_v6() ? "[" + a + "]" : a) + ":" + std::to_string(e.port());
}

std::string bindFailure(const error_code& ec) {
    if (ec == asio::error::address_in_use) return "address in use";
    if (ec == boost::system::errc::address_not_available) return "address not available on this machine";
    if (ec == asio::error::access_denied) return "permission denied";
    return ec.message();
}

// True when the comma-separated Sec-WebSocket-Protocol list offers ours.
bool offersSubprotocol(beast::string_view list) {
    while (!list.empty()) {
        const size_t comma = list.find(',');
        beast::string_view token = list.substr(0, comma);
        while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
        while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
        if (token == bridgeSubprotocol) return true;
        if (comma == beast::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

struct Session;

}  // namespace

struct BridgeServer::Impl {
    explicit Impl(BridgeOptions o) : options(std::move(o)) {}

    BridgeOptions options;
    asio::io_context io;
    tcp::acceptor acceptor{io};
    asio::steady_timer stopTimer{io};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::thread thread;
    uint16_t port = 0;  // written by start(), read by the owner's thread

    // ---- Shared state, guarded by `mutex`. Channels: written by the owner's thread; sessions and
    // subscriptions: written by the I/O thread; queues: written by the publishers and the I/O thread.
    // Read by all of them and by clients() (the panel).
    mutable std::mutex mutex;
    std::map<uint32_t, BridgeChannel> channels;
    uint32_t nextChannelId = 1;
    std::vector<std::shared_ptr<Session>> sessions;
    uint64_t nextClientId = 1;
    bool stopping = false;

    void log(const std::string& line) const {
        if (options.log) options.log(line);
        else std::fprintf(stderr, "%s\n", line.c_str());
    }
    void accept();                                    // I/O thread
    void beginStop();                                 // I/O thread
    void removeSession(const Session* session);       // I/O thread
    std::string advertiseAll() const;                 // with `mutex` held
};

namespace {

// One client. Its socket and the message being written belong to the I/O thread; the fields under
// "guarded by server.mutex" are shared with the publishers.
struct Session : std::enable_shared_from_this<Session> {
    Session(BridgeServer::Impl& s, tcp::socket socket, uint64_t clientId)
        : server(s), ws(std::move(socket)), id(clientId) {
        error_code ec;
        const auto remote = beast::get_lowest_layer(ws).socket().remote_endpoint(ec);
        address = ec ? "unknown" : endpointText(remote);
    }

    BridgeServer::Impl& server;
    websocket::stream<beast::tcp_stream> ws;
    beast::flat_buffer buffer;
    std::optional<http::request_parser<http::empty_body>> request;
    std::string address;
    const uint64_t id;
    std::string writingText;
    DataItem writingData;
    websocket::close_reason closeReason;

    // Guarded by server.mutex.
    std::map<uint32_t, uint32_t> subscriptionByChannel;  // channel id -> subscription id
    std::deque<std::string> control;                    // text messages, never dropped
    std::deque<DataItem> data;
    size_t dataBytes = 0;
    uint64_t sent = 0;
    uint64_t dropped = 0;
    bool open = false;      // accepted; until then neither advertised to nor counted
    bool writing = false;   // a write (or the close frame) is scheduled or in flight
    bool closing = false;   // no more data; the close frame follows the control messages
    bool closeSent = false;

    // With server.mutex held: schedules the writer when it is idle and has something to write.
    void kick() {
        if (writing || closeSent) return;
        const bool work = !control.empty() || (closing ? !closeSent : !data.empty());
        if (!work) return;
        writing = true;
        asio::post(server.io, [self = shared_from_this()] { self->writeNext(false); });
    }

    // With server.mutex held: drops the queued data of one channel.
    void purge(uint32_t channelId) {
        for (auto it = data.begin(); it != data.end();) {
            if (it->channelId != channelId) { ++it; continue; }
            dataBytes -= it->payload->size();
            it = data.erase(it);
        }
    }

    // Runs on the I/O thread: reads the upgrade request, then accepts with our subprotocol.
    void start() {
        beast::get_lowest_layer(ws).expires_after(handshakeTimeout);
        request.emplace();
        request->header_limit(handshakeHeaderLimit);
        http::async_read(ws.next_layer(), buffer, *request, [self = shared_from_this()](error_code ec, size_t) {
            self->onRequest(ec);
        });
    }

    void onRequest(error_code ec) {
        if (ec) {  // not a WebSocket client, or gone: nothing was connected yet
            server.removeSession(this);
            return;
        }
        const auto& req = request->get();
        if (!websocket::is_upgrade(req) || !offersSubprotocol(req[http::field::sec_websocket_protocol])) {
            server.log("bridge: refused " + address + ": not a " + bridgeSubprotocol + " WebSocket request");
            beast::get_lowest_layer(ws).socket().close(ec);
            server.removeSession(this);
            return;
        }
        beast::get_lowest_layer(ws).expires_never();
        ws.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws.set_option(websocket::stream_base::decorator([](websocket::response_type& res) {
            res.set(http::field::sec_websocket_protocol, bridgeSubprotocol);
        }));
        ws.read_message_max(server.options.maxClientMessage);
        ws.async_accept(req, [self = shared_from_this()](error_code e) { self->onAccepted(e); });
    }

    void onAccepted(error_code ec) {
        if (ec) {
            server.removeSession(this);
            return;
        }
        bool stopped;
        {
            std::lock_guard lock(server.mutex);
            stopped = server.stopping;
            if (!stopped) {
                open = true;
                control.push_back(bridgeServerInfoJson(server.options.serverName));
                if (!server.channels.empty()) control.push_back(server.advertiseAll());
                kick();
            }
        }
        if (stopped) {
            shutDown();
            server.removeSession(this);
            return;
        }
        server.log("bridge: client " + std::to_string(id) + " connected from " + address);
        buffer.clear();
        read();
    }

    void read() {
        ws.async_read(buffer, [self = shared_from_this()](error_code ec, size_t) { self->onRead(ec); });
    }

    void onRead(error_code ec) {
        if (ec) {
            if (ec == websocket::error::message_too_big)
                server.log("bridge: closing client " + address + ": message larger than " +
                           std::to_string(server.options.maxClientMessage) + " bytes");
            server.log("bridge: client " + std::to_string(id) + " at " + address + " disconnected");
            server.removeSession(this);
            return;
        }
        const bool text = ws.got_text();
        const std::string message = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        bool alreadyClosing;
        {
            std::lock_guard lock(server.mutex);
            alreadyClosing = closing;
        }
        // After the close frame is queued the peer's close is awaited; what it sends meanwhile is ignored.
        if (!alreadyClosing) {
            if (!text) close(websocket::close_code::unknown_data, "binary messages are not accepted");
            else handle(message);
        }
        read();
    }

    void handle(const std::string& text) {
        BridgeClientRequest r = bridgeParseClientText(text);
        if (r.op == BridgeClientRequest::Op::refused) {
            const bool notJson = r.reason == "message is not JSON";
            close(notJson ? websocket::close_code::bad_payload : websocket::close_code::policy_error, r.reason);
            return;
        }
        std::string refusal;
        {
            std::lock_guard lock(server.mutex);
            if (r.op == BridgeClientRequest::Op::subscribe) refusal = subscribe(r.subscriptions);
            else unsubscribe(r.subscriptionIds);
        }
        if (!refusal.empty()) close(websocket::close_code::policy_error, refusal);
    }

    // With server.mutex held. All or nothing: the reason of the first bad subscription, or "".
    std::string subscribe(const std::vector<std::pair<uint32_t, uint32_t>>& wanted) {
        std::map<uint32_t, uint32_t> next = subscriptionByChannel;
        for (const auto& [sub, channel] : wanted) {
            if (!server.channels.count(channel)) return "subscribe to unknown channel " + std::to_string(channel);
            if (next.count(channel)) return "channel " + std::to_string(channel) + " subscribed twice";
            for (const auto& [c, s] : next)
                if (s == sub) return "subscription id " + std::to_string(sub) + " already in use";
            next[channel] = sub;
        }
        subscriptionByChannel = std::move(next);
        return "";
    }

    // With server.mutex held. An id that is not (or no longer, its channel removed) subscribed is
    // only warned about: the client cannot know the channel went before its request crossed ours.
    void unsubscribe(const std::vector<uint32_t>& ids) {
        for (uint32_t sub : ids) {
            bool found = false;
            for (auto it = subscriptionByChannel.begin(); it != subscriptionByChannel.end(); ++it) {
                if (it->second != sub) continue;
                purge(it->first);
                subscriptionByChannel.erase(it);
                found = true;
                break;
            }
            if (!found) control.push_back(bridgeStatusJson(statusWarning, "no subscription " + std::to_string(sub)));
        }
        kick();
    }

    // Runs on the I/O thread: tells the client why (status, then the close frame) and stops its data.
    void close(websocket::close_code code, const std::string& reason) {
        server.log("bridge: closing client " + address + ": " + reason);
        std::lock_guard lock(server.mutex);
        if (closing) return;
        closeReason = websocket::close_reason(code, reason.substr(0, 120));
        closing = true;
        data.clear();
        dataBytes = 0;
        control.push_back(bridgeStatusJson(statusError, reason));
        kick();
    }

    // Runs on the I/O thread: writes the next control message, data message or close frame.
    // `wroteData` counts the message just written.
    void writeNext(bool wroteData) {
        std::unique_lock lock(server.mutex);
        if (wroteData) ++sent;
        if (!control.empty()) {
            writingText = std::move(control.front());
            control.pop_front();
            lock.unlock();
            ws.text(true);
            ws.async_write(asio::buffer(writingText), [self = shared_from_this()](error_code ec, size_t) {
                self->onWritten(ec, false);
            });
        } else if (!closing && !data.empty()) {
            writingData = std::move(data.front());
            data.pop_front();
            dataBytes -= writingData.payload->size();
            lock.unlock();
            ws.binary(true);
            const std::array<asio::const_buffer, 2> parts{asio::buffer(writingData.header),
                                                          asio::buffer(*writingData.payload)};
            ws.async_write(parts, [self = shared_from_this()](error_code ec, size_t) { self->onWritten(ec, true); });
        } else if (closing && !closeSent) {
            closeSent = true;
            lock.unlock();
            ws.async_close(closeReason, [self = shared_from_this()](error_code) {
                error_code ignored;
                beast::get_lowest_layer(self->ws).socket().close(ignored);
            });
        } else {
            writing = false;
        }
    }

    void onWritten(error_code ec, bool wasData) {
        if (!ec) {
            writeNext(wasData);
            return;
        }
        // The socket failed; the pending read fails too and removes the session.
        std::lock_guard lock(server.mutex);
        closing = closeSent = true;
        writing = false;
        data.clear();
        dataBytes = 0;
    }

    // Runs on the I/O thread when the server stops.
    void shutDown() {
        error_code ignored;
        beast::get_lowest_layer(ws).socket().close(ignored);
    }
};

}  // namespace

std::string BridgeServer::Impl::advertiseAll() const {
    std::vector<std::pair<uint32_t, BridgeChannel>> list(channels.begin(), channels.end());
    return bridgeAdvertiseJson(list);
}

void BridgeServer::Impl::accept() {
    acceptor.async_accept([this](error_code ec, tcp::socket socket) {
        if (ec) {
            if (ec == asio::error::operation_aborted) return;
            log("bridge: accept failed: " + ec.message());
        } else {
            std::shared_ptr<Session> session;
            {
                std::lock_guard lock(mutex);
                session = std::make_shared<Session>(*this, std::move(socket), nextClientId++);
                sessions.push_back(session);
            }
            session->start();
        }
        if (acceptor.is_open()) accept();
    });
}

void BridgeServer::Impl::removeSession(const Session* session) {
    std::lock_guard lock(mutex);
    std::erase_if(sessions, [session](const auto& s) { return s.get() == session; });
    if (stopping && sessions.empty()) stopTimer.cancel();
}

void BridgeServer::Impl::beginStop() {
    error_code ignored;
    acceptor.close(ignored);
    std::lock_guard lock(mutex);
    stopping = true;
    work.reset();
    for (const auto& s : sessions) {
        if (!s->open) {
            s->shutDown();
            continue;
        }
        s->closeReason = websocket::close_reason(websocket::close_code::going_away, "server stopping");
        s->closing = true;
        s->data.clear();
        s->dataBytes = 0;
        s->kick();
    }
    if (sessions.empty()) return;
    // A client that does not read never takes its close frame: after the grace its socket is closed.
    stopTimer.expires_after(stopGrace);
    stopTimer.async_wait([this](error_code ec) {
        if (ec) return;
        std::vector<std::shared_ptr<Session>> left;
        {
            std::lock_guard l(mutex);
            left = sessions;
        }
        for (const auto& s : left) s->shutDown();
    });
}

BridgeServer::BridgeServer(BridgeOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}

BridgeServer::~BridgeServer() { stop(); }

BridgeStartResult BridgeServer::start(const std::string& host, uint16_t port) {
    Impl& m = *impl_;
    BridgeStartResult result;
    error_code ec;
    const auto address = asio::ip::make_address(host == "localhost" ? "127.0.0.1" : host, ec);
    const std::string where = (address.is_v6() && !ec ? "[" + host + "]" : host) + ":" + std::to_string(port);
    if (m.thread.joinable()) {
        result.error = "cannot listen on " + where + ": the bridge is already running";
        return result;
    }
    auto fail = [&](const std::string& reason) {
        error_code ignored;
        m.acceptor.close(ignored);
        result.error = "cannot listen on " + where + ": " + reason;
        return result;
    };
    if (ec) return fail("bad address");
    const tcp::endpoint endpoint(address, port);
    m.acceptor.open(endpoint.protocol(), ec);
    if (!ec) m.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) m.acceptor.bind(endpoint, ec);
    if (!ec) m.acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return fail(bindFailure(ec));
    m.port = m.acceptor.local_endpoint().port();
    if (!address.is_loopback())
        std::fprintf(stderr, "bridge: warning: listening on %s, not loopback: anyone on that network can watch\n",
                     where.c_str());
    {
        std::lock_guard lock(m.mutex);
        m.stopping = false;
    }
    m.io.restart();
    m.work.emplace(m.io.get_executor());
    m.accept();
    m.thread = std::thread([&m] {
        pthread_setname_np(pthread_self(), ioThreadName);
        m.io.run();
    });
    result.ok = true;
    result.port = m.port;
    return result;
}

void BridgeServer::stop() {
    Impl& m = *impl_;
    if (!m.thread.joinable()) return;
    asio::post(m.io, [&m] { m.beginStop(); });
    m.thread.join();
    std::lock_guard lock(m.mutex);
    m.sessions.clear();
    m.port = 0;
}

bool BridgeServer::running() const { return impl_->thread.joinable(); }

uint16_t BridgeServer::port() const { return impl_->port; }

uint32_t BridgeServer::addChannel(const BridgeChannel& channel) {
    Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    const uint32_t id = m.nextChannelId++;
    m.channels[id] = channel;
    const std::string advert = bridgeAdvertiseJson({{id, channel}});
    for (const auto& s : m.sessions) {
        if (!s->open) continue;
        s->control.push_back(advert);
        s->kick();
    }
    return id;
}

void BridgeServer::removeChannel(uint32_t channelId) {
    Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    if (!m.channels.erase(channelId)) return;
    const std::string notice = bridgeUnadvertiseJson({channelId});
    for (const auto& s : m.sessions) {
        if (!s->open) continue;
        s->subscriptionByChannel.erase(channelId);
        s->purge(channelId);
        s->control.push_back(notice);
        s->kick();
    }
}

void BridgeServer::publish(uint32_t channelId, uint64_t timestampNs, const void* bytes, size_t size) {
    Impl& m = *impl_;
    const auto listening = [&](const Session& s) {
        return s.open && !s.closing && s.subscriptionByChannel.count(channelId) > 0;
    };
    {
        std::lock_guard lock(m.mutex);
        if (std::none_of(m.sessions.begin(), m.sessions.end(), [&](const auto& s) { return listening(*s); }))
            return;
    }
    // One copy for every client, made outside the lock.
    const auto* p = static_cast<const uint8_t*>(bytes);
    const Payload payload = std::make_shared<const std::vector<uint8_t>>(p, p + size);
    std::lock_guard lock(m.mutex);
    for (const auto& s : m.sessions) {
        if (!listening(*s)) continue;
        DataItem item{channelId, {}, payload};
        bridgeDataHeader(item.header.data(), s->subscriptionByChannel[channelId], timestampNs);
        s->data.push_back(std::move(item));
        s->dataBytes += size;
        while (s->data.size() > m.options.queueMessages ||
               (s->dataBytes > m.options.queueBytes && s->data.size() > 1)) {
            s->dataBytes -= s->data.front().payload->size();
            s->data.pop_front();
            ++s->dropped;
        }
        s->kick();
    }
}

std::vector<BridgeClientInfo> BridgeServer::clients() const {
    const Impl& m = *impl_;
    std::lock_guard lock(m.mutex);
    std::vector<BridgeClientInfo> list;
    for (const auto& s : m.sessions) {
        if (!s->open) continue;
        BridgeClientInfo info;
        info.id = s->id;
        info.address = s->address;
        for (const auto& [channel, sub] : s->subscriptionByChannel) info.channels.push_back(channel);
        info.sent = s->sent;
        info.dropped = s->dropped;
        info.queued = s->data.size();
        list.push_back(std::move(info));
    }
    return list;
}
