#include "RedisClient.h"

#include <hiredis/async.h>
#include <hiredis/hiredis.h>

#include <algorithm>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <functional>
#include <utility>

#include "RedisAsioAdapter.h"

namespace zorva {
namespace {

constexpr const char* kUnavailable = "Redis is unavailable";

TRedisReply Convert(const redisReply& reply) {
  TRedisReply out;
  switch (reply.type) {
    case REDIS_REPLY_INTEGER:
      out.Kind = TRedisReply::TKind::Integer;
      out.Integer = reply.integer;
      break;
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR:
      out.Kind = reply.type == REDIS_REPLY_STRING   ? TRedisReply::TKind::Text
                 : reply.type == REDIS_REPLY_STATUS ? TRedisReply::TKind::Status
                                                    : TRedisReply::TKind::Error;
      out.Text.assign(reply.str, reply.len);
      break;
    case REDIS_REPLY_ARRAY:
      out.Kind = TRedisReply::TKind::Array;
      out.Elements.reserve(reply.elements);
      for (std::size_t i = 0; i < reply.elements; ++i)
        out.Elements.push_back(Convert(*reply.element[i]));
      break;
    default:
      break;
  }
  return out;
}

}  // namespace

// One hiredis context, made again after every loss. Only this class touches hiredis's
// connection callbacks; it tells its owner Up once usable and Down once per loss.
class RedisClient::Connection {
 public:
  struct THandlers {
    std::function<void()> Up;
    std::function<void(const std::string&)> Down;
    std::function<void(const TRedisReply&)> Push;  // replies to SUBSCRIBE: confirmations, messages
  };

  Connection(asio::io_context& io, const TOptions& options, bool selectDatabase, THandlers handlers)
      : FIo(io),
        FOptions(options),
        FSelectDatabase(selectDatabase && options.Address.Database != 0),
        FHandlers(std::move(handlers)),
        FResolver(io),
        FTimer(io),
        FDelay(options.FirstRetry) {}

  // Frees the context without telling anyone: the callbacks still pending are dropped.
  ~Connection() {
    FClosing = true;
    FTimer.cancel();
    FResolver.cancel();
    Forget();
  }

  void Start() { Resolve(); }
  bool Up() const { return FUp; }

  // Answered with an Error reply, on a later turn of the loop, when the connection is not up.
  void Send(const std::vector<std::string>& args, TRedisCallback done) {
    if (!FUp) return FailLater(std::move(done));
    Issue(args, std::move(done));
  }
  void SendPush(const std::vector<std::string>& args) {
    if (FContext != nullptr) Write(args, OnPush, this);
  }

 private:
  void Issue(const std::vector<std::string>& args, TRedisCallback done) {
    auto kept = std::make_unique<TRedisCallback>(std::move(done));
    if (FContext != nullptr && Write(args, OnReply, kept.get())) {
      kept.release();  // OnReply owns it now
      return;
    }
    FailLater(std::move(*kept));
  }

  bool Write(const std::vector<std::string>& args, redisCallbackFn* fn, void* data) {
    std::vector<const char*> argv;
    std::vector<std::size_t> lengths;
    for (const auto& arg : args) {
      argv.push_back(arg.data());
      lengths.push_back(arg.size());
    }
    return redisAsyncCommandArgv(FContext, fn, data, static_cast<int>(argv.size()), argv.data(),
                                 lengths.data()) == REDIS_OK;
  }

  void FailLater(TRedisCallback done) {
    asio::post(FIo, [done = std::move(done)] { done(TRedisReply::Failure(kUnavailable)); });
  }

  // A null reply means the context is going away; its callback hears that as an Error.
  static void OnReply(redisAsyncContext* context, void* reply, void* data) {
    std::unique_ptr<TRedisCallback> done(static_cast<TRedisCallback*>(data));
    if (static_cast<Connection*>(context->data)->FClosing) return;
    if (reply == nullptr) return (*done)(TRedisReply::Failure(kUnavailable));
    (*done)(Convert(*static_cast<redisReply*>(reply)));
  }

  static void OnPush(redisAsyncContext*, void* reply, void* data) {
    auto* self = static_cast<Connection*>(data);
    if (reply == nullptr || self->FClosing) return;
    self->FHandlers.Push(Convert(*static_cast<redisReply*>(reply)));
  }

  void Resolve() {
    FResolver.async_resolve(
        FOptions.Address.Host, std::to_string(FOptions.Address.Port),
        [this](const std::error_code& ec, const asio::ip::tcp::resolver::results_type& results) {
          if (ec == asio::error::operation_aborted) return;
          if (ec || results.empty()) return Lost("cannot resolve " + FOptions.Address.Host);
          Connect(results.begin()->endpoint().address().to_string());
        });
  }

  void Connect(const std::string& ip) {
    redisAsyncContext* context = redisAsyncConnect(ip.c_str(), FOptions.Address.Port);
    if (context == nullptr) return Lost("out of memory");
    if (context->err != 0) {
      std::string reason = context->errstr;
      redisAsyncFree(context);
      return Lost(reason);
    }
    FContext = context;
    context->data = this;
    AttachToAsio(FIo, context);
    redisAsyncSetDisconnectCallback(context, OnDisconnect);
    redisAsyncSetConnectCallback(context, OnConnect);
    FTimer.expires_after(FOptions.ConnectTimeout);
    FTimer.async_wait([this](const std::error_code& ec) {
      if (!ec && !FUp && FContext != nullptr) Drop("timed out connecting");
    });
  }

  static void OnConnect(const redisAsyncContext* context, int status) {
    auto* self = static_cast<Connection*>(context->data);
    if (self->FContext != context) return;
    if (status != REDIS_OK) {
      self->FContext = nullptr;  // hiredis frees it after this call
      return self->Lost(context->errstr);
    }
    if (!self->FSelectDatabase) return self->Ready();
    self->Issue({"SELECT", std::to_string(self->FOptions.Address.Database)},
                [self](const TRedisReply& reply) {
                  if (!reply.IsError()) return self->Ready();
                  self->Drop("cannot select database: " + reply.Text);
                });
  }

  static void OnDisconnect(const redisAsyncContext* context, int) {
    auto* self = static_cast<Connection*>(context->data);
    if (self->FContext != context) return;
    self->FContext = nullptr;
    self->Lost(context->err != 0 ? context->errstr : "connection closed");
  }

  void Ready() {
    FTimer.cancel();
    FUp = true;
    FDelay = FOptions.FirstRetry;
    FHandlers.Up();
  }

  void Forget() {
    auto* context = std::exchange(FContext, nullptr);
    if (context != nullptr) redisAsyncFree(context);
  }

  void Drop(const std::string& reason) {
    Forget();
    Lost(reason);
  }

  void Lost(const std::string& reason) {
    FUp = false;
    if (FClosing) return;
    FTimer.expires_after(FDelay);
    FDelay = std::min(FDelay * 2, FOptions.LastRetry);
    FTimer.async_wait([this](const std::error_code& ec) {
      if (!ec) Resolve();
    });
    FHandlers.Down(reason);
  }

  asio::io_context& FIo;
  const TOptions& FOptions;
  const bool FSelectDatabase;
  THandlers FHandlers;
  asio::ip::tcp::resolver FResolver;
  asio::steady_timer FTimer;  // the connect timeout, then the delay before the next attempt
  std::chrono::milliseconds FDelay;
  redisAsyncContext* FContext = nullptr;
  bool FUp = false;
  bool FClosing = false;
};

RedisClient::RedisClient(asio::io_context& io, TOptions options)
    : FIo(io), FOptions(std::move(options)) {
  const auto down = [this](const std::string& reason) { OnConnectionDown(reason); };
  FCommands = std::make_unique<Connection>(
      FIo, FOptions, true, Connection::THandlers{[this] { OnCommandsUp(); }, down, nullptr});
  FSubscriber = std::make_unique<Connection>(
      FIo, FOptions, false,
      Connection::THandlers{[this] { OnSubscriberUp(); },
                            [this](const std::string& reason) {
                              FActive.clear();
                              OnConnectionDown(reason);
                            },
                            [this](const TRedisReply& reply) { OnSubscriberMessage(reply); }});
}

RedisClient::~RedisClient() = default;

void RedisClient::Start() {
  FCommands->Start();
  FSubscriber->Start();
}

void RedisClient::Command(std::vector<std::string> args, TRedisCallback done) {
  if (!done) done = [](const TRedisReply&) {};
  FCommands->Send(args, std::move(done));
}

void RedisClient::Subscribe(const std::string& channel, std::function<void()> active) {
  if (FActive.contains(channel)) {
    if (active) asio::post(FIo, std::move(active));
    return;
  }
  if (active) FWhenActive[channel].push_back(std::move(active));
  if (FChannels.insert(channel).second && FSubscriber->Up()) SendSubscribe({channel});
}

void RedisClient::Unsubscribe(const std::string& channel) {
  if (FChannels.erase(channel) == 0) return;
  FWhenActive.erase(channel);
  if (FSubscriber->Up()) FSubscriber->SendPush({"UNSUBSCRIBE", channel});
}

void RedisClient::SendSubscribe(const std::vector<std::string>& channels) {
  std::vector<std::string> args{"SUBSCRIBE"};
  args.insert(args.end(), channels.begin(), channels.end());
  FSubscriber->SendPush(args);
}

void RedisClient::OnCommandsUp() {
  TellIfUp();
}

void RedisClient::OnSubscriberUp() {
  FActive.clear();
  FResubscribing = FChannels;
  if (FResubscribing.empty()) return TellIfUp();
  SendSubscribe({FChannels.begin(), FChannels.end()});
}

void RedisClient::OnSubscriberMessage(const TRedisReply& reply) {
  if (reply.Kind != TRedisReply::TKind::Array || reply.Elements.size() < 3) return;
  const auto& kind = reply.Elements[0].Text;
  const auto& channel = reply.Elements[1].Text;
  if (kind == "message") {
    if (FListener != nullptr) FListener->OnRedisMessage(channel, reply.Elements[2].Text);
    return;
  }
  if (kind != "subscribe") return;
  if (FResubscribing.erase(channel) == 1 && FResubscribing.empty()) TellIfUp();
  OnSubscribed(channel);
}

void RedisClient::OnSubscribed(const std::string& channel) {
  if (!FChannels.contains(channel)) return;
  FActive.insert(channel);
  const auto waiting = FWhenActive.find(channel);
  if (waiting == FWhenActive.end()) return;
  auto callbacks = std::move(waiting->second);
  FWhenActive.erase(waiting);
  for (auto& active : callbacks) active();
}

void RedisClient::TellIfUp() {
  if (FState == TState::Up || !FCommands->Up() || !FSubscriber->Up() || !FResubscribing.empty())
    return;
  FState = TState::Up;
  if (FListener != nullptr) FListener->OnRedisUp();
}

void RedisClient::OnConnectionDown(const std::string& reason) {
  if (FState == TState::Down) return;
  FState = TState::Down;
  if (FListener != nullptr) FListener->OnRedisDown(reason);
}

}  // namespace zorva
