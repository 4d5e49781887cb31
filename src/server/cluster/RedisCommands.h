// The seam between the cluster logic and Redis: a reply as plain values, the command interface
// ClusterLink calls, and what the connection tells it. RedisClient implements it over hiredis
// on the daemon's event loop; tests may put a fake behind it. Nothing here blocks: a command's
// answer arrives through its callback on a later turn of the loop, never inside the call.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace zorva {

struct TRedisReply {
  enum class TKind { Nil, Integer, Text, Status, Error, Array };
  TKind Kind = TKind::Nil;
  std::int64_t Integer = 0;
  std::string Text;  // of Text, Status and Error
  std::vector<TRedisReply> Elements;

  bool IsError() const { return Kind == TKind::Error; }
  static TRedisReply Failure(std::string reason) {
    TRedisReply reply;
    reply.Kind = TKind::Error;
    reply.Text = std::move(reason);
    return reply;
  }
};

// Called exactly once per command: with Redis's reply, or with an Error reply when the command
// could not be sent or its connection was lost before the answer came. May be empty.
using TRedisCallback = std::function<void(const TRedisReply&)>;

class IRedisListener {
 public:
  virtual ~IRedisListener() = default;
  // Both connections are up and every channel is subscribed (again).
  virtual void OnRedisUp() = 0;
  // A connection was lost or could not be made; `reason` is for the log. Told once per loss.
  virtual void OnRedisDown(const std::string& reason) = 0;
  virtual void OnRedisMessage(std::string_view channel, std::string_view payload) = 0;
};

class IRedisCommands {
 public:
  virtual ~IRedisCommands() = default;
  virtual void SetListener(IRedisListener* listener) = 0;
  virtual bool Up() const = 0;
  virtual void Command(std::vector<std::string> args, TRedisCallback done) = 0;
  // Channels stay subscribed across reconnects until unsubscribed. `active` runs once Redis has
  // confirmed the subscription, so that state loaded afterwards misses no event; it does not
  // run when the connection is lost first (OnRedisUp follows, with every channel subscribed).
  virtual void Subscribe(const std::string& channel, std::function<void()> active) = 0;
  virtual void Unsubscribe(const std::string& channel) = 0;
};

}  // namespace zorva
