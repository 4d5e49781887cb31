#include "RedisAsioAdapter.h"

#include <hiredis/async.h>

#include <asio/posix/stream_descriptor.hpp>
#include <memory>

namespace zorva {
namespace {

using TDescriptor = asio::posix::stream_descriptor;

// One way of the socket: whether hiredis wants it watched, and whether a wait is pending.
struct TDirection {
  TDescriptor::wait_type Wait;
  void (*Handle)(redisAsyncContext*);
  bool Wanted = false;
  bool Armed = false;
};

struct TAsioHooks : std::enable_shared_from_this<TAsioHooks> {
  TAsioHooks(asio::io_context& io, redisAsyncContext* context)
      : Socket(io, context->c.fd), Context(context) {}

  TDescriptor Socket;
  redisAsyncContext* Context;  // null once hiredis has freed it
  TDirection Read{TDescriptor::wait_read, redisAsyncHandleRead};
  TDirection Write{TDescriptor::wait_write, redisAsyncHandleWrite};
  std::shared_ptr<TAsioHooks> Self;  // keeps the hooks alive until hiredis's cleanup
};

using THooksPtr = std::shared_ptr<TAsioHooks>;
using TSide = TDirection TAsioHooks::*;

void Arm(const THooksPtr& hooks, TSide side);

// hiredis may free the context inside its handlers (a lost connection); Context is then null.
void OnReady(const THooksPtr& hooks, TSide side, const std::error_code& ec) {
  auto& direction = (*hooks).*side;
  direction.Armed = false;
  if (ec || hooks->Context == nullptr || !direction.Wanted) return;
  direction.Handle(hooks->Context);
  Arm(hooks, side);
}

void Arm(const THooksPtr& hooks, TSide side) {
  auto& direction = (*hooks).*side;
  if (direction.Armed || !direction.Wanted || hooks->Context == nullptr) return;
  direction.Armed = true;
  hooks->Socket.async_wait(direction.Wait,
                           [hooks, side](const std::error_code& ec) { OnReady(hooks, side, ec); });
}

template <TSide side, bool wanted>
void Want(void* data) {
  auto hooks = static_cast<TAsioHooks*>(data)->shared_from_this();
  ((*hooks).*side).Wanted = wanted;
  Arm(hooks, side);
}

// hiredis closes the descriptor itself: release it from asio (which also ends the pending
// waits) rather than letting the stream_descriptor close it a second time.
void Cleanup(void* data) {
  auto hooks = static_cast<TAsioHooks*>(data)->shared_from_this();
  hooks->Context = nullptr;
  hooks->Socket.release();
  hooks->Self.reset();
}

}  // namespace

void AttachToAsio(asio::io_context& io, redisAsyncContext* context) {
  auto hooks = std::make_shared<TAsioHooks>(io, context);
  hooks->Self = hooks;
  context->ev.data = hooks.get();
  context->ev.addRead = Want<&TAsioHooks::Read, true>;
  context->ev.delRead = Want<&TAsioHooks::Read, false>;
  context->ev.addWrite = Want<&TAsioHooks::Write, true>;
  context->ev.delWrite = Want<&TAsioHooks::Write, false>;
  context->ev.cleanup = Cleanup;
}

}  // namespace zorva
