// RedisClient: the cluster's two connections to Redis, driven by the daemon's io_context with
// hiredis's asynchronous API. The command connection carries scripts and publishes (in order:
// one connection, so Redis delivers a node's publishes in the order it sent them); the
// subscriber connection receives the channels. Both reconnect on their own, after a delay
// that doubles from FirstRetry up to LastRetry, and the listener hears Redis lost and back.
//
//   asio::io_context io;
//   RedisClient redis(io, {.Address = address});
//   ClusterLink link(redis, {...});  // sets itself as the listener
//   redis.Start();
//   io.run();
//
// Host names are resolved with Asio's asynchronous resolver, so even a slow name service does
// not hold up the loop. A command given while the command connection is down is answered with
// an Error reply on a later turn of the loop.
#pragma once

#include <asio/io_context.hpp>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "RedisAddress.h"
#include "RedisCommands.h"

namespace zorva {

class RedisClient : public IRedisCommands {
 public:
  struct TOptions {
    TRedisAddress Address;
    std::chrono::milliseconds FirstRetry{100};
    std::chrono::milliseconds LastRetry{5000};
    std::chrono::milliseconds ConnectTimeout{2000};
  };

  RedisClient(asio::io_context& io, TOptions options);
  ~RedisClient() override;
  RedisClient(const RedisClient&) = delete;
  RedisClient& operator=(const RedisClient&) = delete;

  void Start();

  void SetListener(IRedisListener* listener) override { FListener = listener; }
  bool Up() const override { return FState == TState::Up; }
  void Command(std::vector<std::string> args, TRedisCallback done) override;
  void Subscribe(const std::string& channel, std::function<void()> active) override;
  void Unsubscribe(const std::string& channel) override;

  class Connection;

 private:
  enum class TState { Starting, Up, Down };

  void OnCommandsUp();
  void OnSubscriberUp();
  void OnConnectionDown(const std::string& reason);
  void SendSubscribe(const std::vector<std::string>& channels);
  void OnSubscriberMessage(const TRedisReply& reply);
  void OnSubscribed(const std::string& channel);
  void TellIfUp();

  asio::io_context& FIo;
  const TOptions FOptions;
  IRedisListener* FListener = nullptr;
  std::unique_ptr<Connection> FCommands;
  std::unique_ptr<Connection> FSubscriber;
  std::set<std::string> FChannels;
  std::set<std::string> FActive;  // confirmed on the present subscriber connection
  std::unordered_map<std::string, std::vector<std::function<void()>>> FWhenActive;
  std::set<std::string> FResubscribing;  // sent after a reconnect, not yet confirmed
  TState FState = TState::Starting;
};

}  // namespace zorva
