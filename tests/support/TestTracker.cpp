// GCC flags the fences inside Boost.Asio under ThreadSanitizer (-Wtsan); they are Asio's own
// and sound. Set before any include so that it covers the standard headers too.
#if defined(__GNUC__) && !defined(__clang__) && defined(__SANITIZE_THREAD__)
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "support/TestTracker.hpp"

#include <algorithm>
#include <atomic>
#include <deque>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <nlohmann/json.hpp>

#include "platform/Uuid.hpp"
#include "support/ChannelOpeningPeer.hpp"
#include "support/LoopbackPeers.hpp"
#include "support/SampleDescription.hpp"
#include "support/WaitScale.hpp"

namespace ombrelia::test {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using nlohmann::json;

// One client of the tracker; the tracker keeps those open by number.
class TrackerConnection;

struct TestTracker::Impl : std::enable_shared_from_this<TestTracker::Impl> {
  net::io_context context{1};
  net::ssl::context tls{net::ssl::context::tls_server};
  tcp::acceptor acceptor{context};
  std::thread thread;

  mutable std::mutex mutex;  // guards everything below
  mutable std::condition_variable changed;
  Behaviour behaviour = Behaviour::serve;
  std::optional<std::chrono::milliseconds> closeAfter;
  bool groupResponseAfterUuid = false;
  bool announceDepartures = true;
  std::atomic<size_t> floodWritten{0};
  std::atomic<size_t> offersWritten{0};
  size_t accepted = 0;
  size_t handshakes = 0;
  std::vector<std::string> targets;
  std::vector<Received> messages;
  std::map<size_t, std::shared_ptr<TrackerConnection>> open;  // by connection number
  std::vector<std::shared_ptr<tcp::socket>> silent;    // never-answered sockets
  std::set<std::pair<Uuid, Uuid>> introduced;          // ordered pairs, smaller first
  bool frozen = false;
  // The participant that only relays between two clients, while there is one.
  struct Relayer {
    Uuid uuid;
    Uuid from;
    Uuid to;
    std::string videoID;
  };
  std::optional<Relayer> relayer;
  // The participant that opens channels on a real connection, while there is one.
  struct ChannelOpener {
    ChannelOpener(Uuid uuid, Uuid to) : uuid(uuid), to(to) {}
    ChannelOpener(const ChannelOpener&) = delete;
    ChannelOpener& operator=(const ChannelOpener&) = delete;
    ~ChannelOpener() {
      // Closed first: a flood under way then ends at its next send.
      if (peer) peer->close();
      if (flood.joinable()) flood.join();
    }

    const Uuid uuid;
    const Uuid to;
    std::shared_ptr<ChannelOpeningPeer> peer;
    std::thread flood;
  };
  std::shared_ptr<ChannelOpener> opener;
  // Participants that ask steadily with their windows shut, each on a real connection.
  std::vector<std::shared_ptr<ChannelOpener>> askers;
  // The participant that reads segments and leaves (fetchThenLeave).
  std::shared_ptr<ChannelOpener> reader;
  // The one of `uuid` negotiating with `to`, if any.
  std::shared_ptr<ChannelOpener> negotiating(const Uuid& uuid, const Uuid& to) {
    std::lock_guard lock(mutex);
    if (opener && opener->uuid == uuid && opener->to == to) return opener;
    if (reader && reader->uuid == uuid && reader->to == to) return reader;
    for (const auto& asker : askers)
      if (asker->uuid == uuid && asker->to == to) return asker;
    return nullptr;
  }

  void accept();
  // On the I/O thread.
  std::optional<Uuid> startRelaying(const Uuid& from, const Uuid& to);
  void stopRelaying();
  std::shared_ptr<TrackerConnection> connectionOf(const Uuid& uuid);
  void notify() { changed.notify_all(); }
};

class TrackerConnection : public std::enable_shared_from_this<TrackerConnection> {
  struct Outgoing {
    enum class Kind { text, binary, raw, close, flood, offers } kind;
    std::string bytes;
    size_t repeat = 1;  // flood, offers: frames still to write
    // offers: makes the next frame, given how many were written before it
    std::function<std::string(size_t)> make{};
  };

 public:
  TrackerConnection(TestTracker::Impl& tracker, tcp::socket socket)
      : tracker_(tracker), ws_(std::move(socket), tracker.tls), closeTimer_(tracker.context) {}

  void start() {
    auto self = shared_from_this();
    ws_.next_layer().async_handshake(net::ssl::stream_base::server, [self](beast::error_code ec) {
      if (ec) return;  // the client refused our certificate, or went away
      http::async_read(self->ws_.next_layer(), self->buffer_, self->request_,
                       [self](beast::error_code ec, size_t) {
                         if (ec) return;
                         self->ws_.async_accept(self->request_, [self](beast::error_code ec) {
                           if (!ec) self->opened();
                         });
                       });
    });
  }

  void enqueue(Outgoing::Kind kind, std::string bytes) {
    if (closed_) return;
    queue_.push_back(Outgoing{kind, std::move(bytes)});
    writeNext();
  }
  void sendText(std::string text) { enqueue(Outgoing::Kind::text, std::move(text)); }
  void sendBinary(std::string bytes) { enqueue(Outgoing::Kind::binary, std::move(bytes)); }
  void sendRaw(std::string bytes) { enqueue(Outgoing::Kind::raw, std::move(bytes)); }
  void close() { enqueue(Outgoing::Kind::close, {}); }
  void flood(size_t count, size_t bytes) {
    if (closed_ || count == 0) return;
    queue_.push_back(Outgoing{Outgoing::Kind::flood, std::string(bytes, 'x'), count});
    writeNext();
  }

  // `count` text frames that `make` writes, each made once the one before has been written.
  void sendMade(size_t count, std::function<std::string(size_t)> make) {
    if (closed_ || count == 0) return;
    queue_.push_back(Outgoing{Outgoing::Kind::offers, {}, count, std::move(make)});
    writeNext();
  }

  const std::optional<Uuid>& uuid() const { return uuid_; }
  const std::string& videoID() const { return videoID_; }

 private:
  void opened() {
    std::optional<std::chrono::milliseconds> closeAfter;
    {
      std::lock_guard lock(tracker_.mutex);
      id_ = ++tracker_.handshakes;
      tracker_.targets.push_back(std::string(request_.target()));
      tracker_.open[id_] = shared_from_this();
      closeAfter = tracker_.closeAfter;
    }
    tracker_.notify();
    if (closeAfter) {
      auto self = shared_from_this();
      closeTimer_.expires_after(*closeAfter);
      closeTimer_.async_wait([self](beast::error_code ec) {
        if (!ec) self->close();
      });
    }
    read();
  }

  void read() {
    auto self = shared_from_this();
    ws_.async_read(buffer_, [self](beast::error_code ec, size_t) {
      if (ec) return self->ended();
      std::string text = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      self->handle(text);
      self->read();
    });
  }

  void ended() {
    if (closed_) return;
    closed_ = true;
    closeTimer_.cancel();
    std::vector<std::shared_ptr<TrackerConnection>> others;
    {
      std::lock_guard lock(tracker_.mutex);
      tracker_.open.erase(id_);
      for (auto& [id, other] : tracker_.open) {
        if (uuid_ && other->uuid_ && other->videoID_ == videoID_) others.push_back(other);
      }
    }
    tracker_.notify();
    bool announce = false;
    {
      std::lock_guard lock(tracker_.mutex);
      announce = tracker_.announceDepartures;
    }
    if (!uuid_ || !announce) return;
    for (auto& other : others) other->announceDeparture(*uuid_);
  }

 public:
  void announceDeparture(const Uuid& member) {
    json departure = {
        {"type", "peerConnectedModif"},
        {"list", json::array({{{"modification", "delete"}, {"uuid", member.lowercaseString()}}})}};
    sendText(departure.dump());
  }

  // A group response that names only `member`, as a newcomer to this client's group.
  void introduce(const Uuid& member, double joinDate) {
    json list = json::array();
    list.push_back(addItem(member, joinDate));
    sendText(groupResponse(std::move(list)));
  }

 private:
  static json addItem(const Uuid& member, double joinDate) {
    return {{"modification", "add"}, {"uuid", member.lowercaseString()},
            {"joinDate", joinDate},  {"sameIP", true},
            {"sameCountry", true},   {"sameRegion", true},
            {"sameCity", true}};
  }

  static std::string groupResponse(json list) {
    return json{{"type", "groupResponse"},
                {"group", Uuid::random().lowercaseString()},
                {"joinDate", 1700000000.0},
                {"list", std::move(list)},
                {"sendableSegments", json::object()}}
        .dump();
  }

  void handle(const std::string& text) {
    json message = json::parse(text, nullptr, false);
    std::string type;
    if (message.is_object() && message.contains("type") && message["type"].is_string()) {
      type = message["type"].get<std::string>();
    }
    {
      std::lock_guard lock(tracker_.mutex);
      tracker_.messages.push_back(TestTracker::Received{id_, type, text});
    }
    tracker_.notify();
    if (type == "init") {
      uuid_ = Uuid::random();
      if (message.contains("videoID") && message["videoID"].is_string()) {
        videoID_ = message["videoID"].get<std::string>();
      }
      sendText(json{{"type", "uuid"}, {"uuid", uuid_->lowercaseString()}}.dump());
      bool group = false;
      {
        std::lock_guard lock(tracker_.mutex);
        group = tracker_.groupResponseAfterUuid;
      }
      if (group) sendGroupResponse();
    } else if (type == "groupRequest") {
      sendGroupResponse();
    } else if (type == "transfer") {
      relay(message);
    }
  }

  // The other clients of this video that nobody has introduced to this one yet.
  void sendGroupResponse() {
    if (!uuid_) return;
    json list = json::array();
    {
      std::lock_guard lock(tracker_.mutex);
      for (auto& [id, other] : tracker_.open) {
        if (other.get() == this || !other->uuid_ || other->videoID_ != videoID_) continue;
        auto pair = std::minmax(*uuid_, *other->uuid_);
        if (!tracker_.introduced.insert({pair.first, pair.second}).second) continue;
        list.push_back(addItem(*other->uuid_, 1700000000.0 + static_cast<double>(id)));
      }
    }
    sendText(groupResponse(std::move(list)));
  }

  void relay(json message) {
    if (!uuid_ || !message.contains("remotePeerID") || !message["remotePeerID"].is_string()) return;
    auto remote = Uuid::parse(message["remotePeerID"].get<std::string>());
    if (!remote) return;
    std::optional<TestTracker::Impl::Relayer> relayer;
    {
      std::lock_guard lock(tracker_.mutex);
      relayer = tracker_.relayer;
    }
    Uuid sender = *uuid_;
    if (const auto opener = tracker_.negotiating(*remote, sender)) {
      if (message.contains("description") && message["description"].is_object() &&
          message["description"].value("sdp", json()).is_string()) {
        opener->peer->takeAnswer(message["description"]["sdp"].get<std::string>());
      }
      if (message.contains("candidate") && message["candidate"].is_object() &&
          message["candidate"].value("candidate", json()).is_string()) {
        const auto& candidate = message["candidate"];
        const std::string mid = candidate.value("sdpMid", json()).is_string()
                                    ? candidate["sdpMid"].get<std::string>()
                                    : "0";
        opener->peer->takeCandidate(candidate["candidate"].get<std::string>(), mid);
      }
      return;
    }
    if (relayer && *remote == relayer->uuid) {
      // The relaying participant passes it on as its own, to the other of its two clients.
      if (sender == relayer->from) {
        remote = relayer->to;
      } else if (sender == relayer->to) {
        remote = relayer->from;
      } else {
        return;
      }
      sender = relayer->uuid;
      message["remotePeerID"] = remote->lowercaseString();
    }
    auto target = tracker_.connectionOf(*remote);
    if (!target) return;
    message["askingPeerID"] = sender.lowercaseString();
    target->sendText(message.dump());
  }

  void writeNext() {
    if (writing_ || queue_.empty() || closed_) return;
    writing_ = true;
    auto self = shared_from_this();
    auto done = [self](beast::error_code ec, size_t = 0) {
      self->writing_ = false;
      Outgoing& front = self->queue_.front();
      if (!ec && front.kind == Outgoing::Kind::flood) ++self->tracker_.floodWritten;
      if (!ec && front.kind == Outgoing::Kind::offers) ++self->tracker_.offersWritten;
      if (ec || --front.repeat == 0) self->queue_.pop_front();
      if (ec) return self->ended();
      self->writeNext();
    };
    Outgoing& next = queue_.front();
    if (next.kind == Outgoing::Kind::offers) next.bytes = next.make(tracker_.offersWritten.load());
    switch (next.kind) {
      case Outgoing::Kind::text:
      case Outgoing::Kind::flood:
      case Outgoing::Kind::offers:
        ws_.text(true);
        ws_.async_write(net::buffer(next.bytes), done);
        break;
      case Outgoing::Kind::binary:
        ws_.binary(true);
        ws_.async_write(net::buffer(next.bytes), done);
        break;
      case Outgoing::Kind::raw:
        net::async_write(ws_.next_layer(), net::buffer(next.bytes), done);
        break;
      case Outgoing::Kind::close:
        ws_.async_close(websocket::close_code::normal, [done](beast::error_code ec) { done(ec); });
        break;
    }
  }

  TestTracker::Impl& tracker_;
  websocket::stream<beast::ssl_stream<beast::tcp_stream>> ws_;
  net::steady_timer closeTimer_;
  beast::flat_buffer buffer_;
  http::request<http::string_body> request_;
  std::deque<Outgoing> queue_;
  bool writing_ = false;
  bool closed_ = false;
  size_t id_ = 0;
  std::optional<Uuid> uuid_;
  std::string videoID_;
};

std::shared_ptr<TrackerConnection> TestTracker::Impl::connectionOf(const Uuid& uuid) {
  std::lock_guard lock(mutex);
  for (auto& [id, connection] : open) {
    if (connection->uuid() == uuid) return connection;
  }
  return nullptr;
}

std::optional<Uuid> TestTracker::Impl::startRelaying(const Uuid& from, const Uuid& to) {
  auto first = connectionOf(from);
  auto second = connectionOf(to);
  if (!first || !second) return std::nullopt;
  const Relayer joined{Uuid::random(), from, to, first->videoID()};
  {
    std::lock_guard lock(mutex);
    relayer = joined;
  }
  first->introduce(joined.uuid, 1800000000.0);
  return joined.uuid;
}

void TestTracker::Impl::stopRelaying() {
  std::optional<Relayer> left;
  std::vector<std::shared_ptr<TrackerConnection>> others;
  {
    std::lock_guard lock(mutex);
    left.swap(relayer);
    if (!left || !announceDepartures) return;
    for (auto& [id, other] : open) {
      if (other->uuid() && other->videoID() == left->videoID) others.push_back(other);
    }
  }
  for (auto& other : others) other->announceDeparture(left->uuid);
}

void TestTracker::Impl::accept() {
  acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
    if (ec) return;
    Behaviour now;
    {
      std::lock_guard lock(mutex);
      ++accepted;
      now = behaviour;
      if (now == Behaviour::neverHandshake) {
        silent.push_back(std::make_shared<tcp::socket>(std::move(socket)));
      }
    }
    notify();
    if (now == Behaviour::acceptAndClose) {
      beast::error_code ignored;
      socket.close(ignored);
    } else if (now == Behaviour::serve) {
      std::make_shared<TrackerConnection>(*this, std::move(socket))->start();
    }
    accept();
  });
}

TestTracker::TestTracker(Settings settings) : impl_(std::make_shared<Impl>()) {
  auto& tls = impl_->tls;
  tls.use_certificate_chain(net::buffer(settings.certificate.certificate));
  tls.use_private_key(net::buffer(settings.certificate.privateKey), net::ssl::context::pem);
  tcp::endpoint endpoint(net::ip::make_address("127.0.0.1"), settings.port);
  impl_->acceptor.open(endpoint.protocol());
  impl_->acceptor.set_option(net::socket_base::reuse_address(true));
  impl_->acceptor.bind(endpoint);
  impl_->acceptor.listen();
  port_ = impl_->acceptor.local_endpoint().port();
  impl_->accept();
  impl_->thread = std::thread([impl = impl_.get()] { impl->context.run(); });
}

TestTracker::~TestTracker() {
  std::shared_ptr<Impl::ChannelOpener> opener;
  {
    std::lock_guard lock(impl_->mutex);
    opener.swap(impl_->opener);
  }
  opener.reset();
  std::vector<std::shared_ptr<Impl::ChannelOpener>> askers;
  {
    std::lock_guard lock(impl_->mutex);
    askers.swap(impl_->askers);
  }
  askers.clear();
  thaw();
  impl_->context.stop();
  impl_->thread.join();
  std::lock_guard lock(impl_->mutex);
  impl_->open.clear();
  impl_->silent.clear();
}

Url TestTracker::url(const std::string& host, const std::string& pathAndQuery) const {
  return *Url::parseAbsolute("wss://" + host + ":" + std::to_string(port_) + pathAndQuery);
}

void TestTracker::setBehaviour(Behaviour behaviour) {
  std::lock_guard lock(impl_->mutex);
  impl_->behaviour = behaviour;
}

void TestTracker::setCloseAfter(std::optional<std::chrono::milliseconds> delay) {
  std::lock_guard lock(impl_->mutex);
  impl_->closeAfter = delay;
}

void TestTracker::setGroupResponseAfterUuid(bool enabled) {
  std::lock_guard lock(impl_->mutex);
  impl_->groupResponseAfterUuid = enabled;
}

size_t TestTracker::acceptedCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->accepted;
}

size_t TestTracker::handshakeCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->handshakes;
}

std::vector<std::string> TestTracker::handshakeTargets() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->targets;
}

size_t TestTracker::openCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->open.size();
}

std::vector<TestTracker::Received> TestTracker::received() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->messages;
}

std::vector<TestTracker::Received> TestTracker::received(const std::string& type) const {
  std::vector<Received> out;
  for (auto& message : received()) {
    if (message.type == type) out.push_back(message);
  }
  return out;
}

bool TestTracker::waitUntil(const std::function<bool()>& predicate,
                            std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(impl_->mutex);
  for (;;) {
    lock.unlock();
    bool done = predicate();
    lock.lock();
    if (done) return true;
    // Short slices: the predicate may also look at state outside the tracker.
    if (impl_->changed.wait_until(lock, std::min(deadline, std::chrono::steady_clock::now() +
                                                               std::chrono::milliseconds(20))) ==
            std::cv_status::timeout &&
        std::chrono::steady_clock::now() >= deadline) {
      lock.unlock();
      return predicate();
    }
  }
}

namespace {

template <typename Action>
void forEachOpen(const std::shared_ptr<TestTracker::Impl>& impl, Action action) {
  // Raw: a handler still queued when the tracker stops is destroyed with the context, which
  // must not be what keeps the tracker alive.
  net::post(impl->context, [impl = impl.get(), action] {
    std::vector<std::shared_ptr<TrackerConnection>> open;
    {
      std::lock_guard lock(impl->mutex);
      for (auto& [id, connection] : impl->open) open.push_back(connection);
    }
    for (auto& connection : open) action(*connection);
  });
}

}  // namespace

void TestTracker::sendToAll(const std::string& text) {
  forEachOpen(impl_, [text](TrackerConnection& connection) { connection.sendText(text); });
}

void TestTracker::sendBinaryToAll(const std::string& bytes) {
  forEachOpen(impl_, [bytes](TrackerConnection& connection) { connection.sendBinary(bytes); });
}

void TestTracker::sendOversizedToAll(size_t bytes) {
  std::string text(bytes, 'x');
  forEachOpen(impl_, [text](TrackerConnection& connection) { connection.sendText(text); });
}

void TestTracker::floodToAll(size_t count, size_t bytes) {
  forEachOpen(impl_,
              [count, bytes](TrackerConnection& connection) { connection.flood(count, bytes); });
}

size_t TestTracker::floodWritten() const { return impl_->floodWritten.load(); }

std::optional<Uuid> TestTracker::floodOffers(const Uuid& to, size_t count) {
  const auto target = impl_->connectionOf(to);
  if (!target) return std::nullopt;
  const Uuid participant = Uuid::random();
  auto make = [to, participant](size_t written) {
    // ICE user fragments are four characters at the least.
    const std::string ufrag = "f" + std::to_string(1000 + written);
    return json{
        {"type", "transfer"},
        {"remotePeerID", to.lowercaseString()},
        {"askingPeerID", participant.lowercaseString()},
        {"description",
         {{"type", "offer"}, {"sdp", SampleDescription::withFingerprint("AB", "sha-256", ufrag)}}}}
        .dump();
  };
  net::post(impl_->context, [target, count, make] { target->sendMade(count, make); });
  return participant;
}

size_t TestTracker::offersWritten() const { return impl_->offersWritten.load(); }

void TestTracker::setAnnounceDepartures(bool enabled) {
  std::lock_guard lock(impl_->mutex);
  impl_->announceDepartures = enabled;
}

void TestTracker::sendRawToAll(const std::string& bytes) {
  forEachOpen(impl_, [bytes](TrackerConnection& connection) { connection.sendRaw(bytes); });
}

std::optional<Uuid> TestTracker::startRelaying(const Uuid& from, const Uuid& to) {
  // On the I/O thread, where the connections are served; bounded, as a frozen tracker never
  // runs it.
  auto result = std::make_shared<std::promise<std::optional<Uuid>>>();
  auto joined = result->get_future();
  net::post(impl_->context, [impl = impl_.get(), from, to, result] {
    result->set_value(impl->startRelaying(from, to));
  });
  if (joined.wait_for(scaledWait(std::chrono::seconds(5))) != std::future_status::ready)
    return std::nullopt;
  return joined.get();
}

void TestTracker::stopRelaying() {
  net::post(impl_->context, [impl = impl_.get()] { impl->stopRelaying(); });
}

namespace {

// A participant with a real connection on 127.0.0.1, offering to `to` through the tracker; none
// when `to` is not connected.
std::shared_ptr<TestTracker::Impl::ChannelOpener> joinOpener(
    const std::shared_ptr<TestTracker::Impl>& impl_, const Uuid& to) {
  if (!impl_->connectionOf(to)) return nullptr;
  const Uuid uuid = Uuid::random();
  // Its signals come on its connection's callback queue; the tracker's connections are served on
  // the I/O thread.
  const auto sendTo = [weak = std::weak_ptr<TestTracker::Impl>(impl_), to](json message) {
    const auto impl = weak.lock();
    if (!impl) return;
    net::post(impl->context, [impl = impl.get(), to, text = message.dump()] {
      if (auto target = impl->connectionOf(to)) target->sendText(text);
    });
  };
  const json addressing = {{"type", "transfer"},
                           {"remotePeerID", to.lowercaseString()},
                           {"askingPeerID", uuid.lowercaseString()}};
  ChannelOpeningPeer::Signals signals;
  signals.description = [sendTo, addressing](std::string sdp) {
    json message = addressing;
    message["description"] = {{"type", "offer"}, {"sdp", sdp}};
    sendTo(std::move(message));
  };
  signals.candidate = [sendTo, addressing](std::string candidate, std::string mid) {
    json message = addressing;
    message["candidate"] = {{"candidate", candidate}, {"sdpMid", mid}, {"sdpMLineIndex", 0}};
    sendTo(std::move(message));
  };
  auto joined = std::make_shared<TestTracker::Impl::ChannelOpener>(uuid, to);
  // Its offer may come before the tracker routes the answer to it: it is listed first.
  joined->peer =
      std::make_shared<ChannelOpeningPeer>(LoopbackPeers::loopbackConfig(), std::move(signals));
  return joined;
}

}  // namespace

std::optional<Uuid> TestTracker::joinChannelOpener(const Uuid& to) {
  auto joined = joinOpener(impl_, to);
  if (!joined) return std::nullopt;
  std::shared_ptr<Impl::ChannelOpener> replaced;
  {
    std::lock_guard lock(impl_->mutex);
    replaced = std::exchange(impl_->opener, joined);
  }
  replaced.reset();
  if (!joined->peer->waitOpen(scaledWait(std::chrono::seconds(20)))) return std::nullopt;
  return joined->uuid;
}

size_t TestTracker::joinAskers(const Uuid& to, size_t count) {
  std::vector<std::shared_ptr<Impl::ChannelOpener>> joined;
  for (size_t i = 0; i < count; ++i) {
    auto asker = joinOpener(impl_, to);
    if (!asker) break;
    {
      std::lock_guard lock(impl_->mutex);
      impl_->askers.push_back(asker);
    }
    joined.push_back(std::move(asker));
  }
  return static_cast<size_t>(std::count_if(joined.begin(), joined.end(), [](const auto& asker) {
    return asker->peer->waitOpen(scaledWait(std::chrono::seconds(20)));
  }));
}

bool TestTracker::askSteadily(std::chrono::milliseconds interval, std::chrono::milliseconds bound) {
  std::lock_guard lock(impl_->mutex);
  if (impl_->askers.empty()) return false;
  for (const auto& asker : impl_->askers) {
    if (asker->flood.joinable()) return false;
    asker->flood =
        std::thread([peer = asker->peer, interval, bound] { peer->askSteadily(interval, bound); });
  }
  return true;
}

std::optional<ChannelOpeningPeer::Fetched> TestTracker::fetchThenLeave(
    const Uuid& to, size_t whole, std::chrono::milliseconds lingering) {
  // Its video as the client told it, read on the I/O thread that serves the connections.
  auto result = std::make_shared<std::promise<std::optional<std::string>>>();
  auto video = result->get_future();
  net::post(impl_->context, [impl = impl_.get(), to, result] {
    const auto connection = impl->connectionOf(to);
    result->set_value(connection ? std::optional<std::string>(connection->videoID())
                                 : std::nullopt);
  });
  if (video.wait_for(scaledWait(std::chrono::seconds(5))) != std::future_status::ready)
    return std::nullopt;
  const auto videoID = video.get();
  auto reader = videoID ? joinOpener(impl_, to) : nullptr;
  if (!reader) return std::nullopt;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->reader = reader;
  }
  if (!reader->peer->waitOpen(scaledWait(std::chrono::seconds(20)))) return std::nullopt;
  return reader->peer->fetchThenLeave(*videoID, whole, lingering,
                                      scaledWait(std::chrono::seconds(60)));
}

size_t TestTracker::askersEnded() const {
  std::lock_guard lock(impl_->mutex);
  return static_cast<size_t>(
      std::count_if(impl_->askers.begin(), impl_->askers.end(),
                    [](const auto& asker) { return asker->peer->hasEnded(); }));
}

bool TestTracker::openChannels(size_t count, size_t bytes, size_t messages) {
  std::lock_guard lock(impl_->mutex);
  const auto& opener = impl_->opener;
  if (!opener || opener->flood.joinable()) return false;
  opener->flood = std::thread([peer = opener->peer, count, bytes, messages] {
    peer->openChannels(count, bytes, messages, std::chrono::minutes(2));
  });
  return true;
}

bool TestTracker::reopenChannels(size_t streams, std::chrono::milliseconds bound) {
  std::lock_guard lock(impl_->mutex);
  const auto& opener = impl_->opener;
  if (!opener || opener->flood.joinable()) return false;
  opener->flood =
      std::thread([peer = opener->peer, streams, bound] { peer->reopenChannels(streams, bound); });
  return true;
}

bool TestTracker::channelOpenerEnded() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->opener && impl_->opener->peer->hasEnded();
}

size_t TestTracker::channelsOpened() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->opener ? impl_->opener->peer->opened() : 0;
}

void TestTracker::freeze() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->frozen = true;
  }
  net::post(impl_->context, [impl = impl_.get()] {
    std::unique_lock lock(impl->mutex);
    impl->changed.wait(lock, [impl] { return !impl->frozen; });
  });
}

void TestTracker::thaw() {
  {
    std::lock_guard lock(impl_->mutex);
    impl_->frozen = false;
  }
  impl_->notify();
}

void TestTracker::closeAll() {
  forEachOpen(impl_, [](TrackerConnection& connection) { connection.close(); });
}

}  // namespace ombrelia::test
