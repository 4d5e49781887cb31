#include "RedisAsioAdapter.h"

#include <hiredis/async.h>

#include <asio/posix/stream_descriptor.hpp>
#include <memory>

namespace zorva {
namespace {

struct TAsioHooks : std::enable_shared_from_this<TAsioHooks> {
  TAsioHooks(asio::io_context& io, redisAsyncContext* context)
      : Socket(io, context->c.fd), Context(context) {}

  asio::posix::stream_descriptor Socket;
  redisAsyncContext* Context;  // null once hiredis has freed it
  bool WantRead = false;
  bool WantWrite = false;
  bool ReadArmed = false;
  bool WriteArmed = false;
  std::shared_ptr<TAsioHooks> Self;  // keeps the hooks alive until hiredis's cleanup
};

using THooksPtr = std::shared_ptr<TAsioHooks>;

void ArmRead(const THooksPtr& hooks);
void ArmWrite(const THooksPtr& hooks);

// hiredis may free the context inside its handlers (a lost connection); Context is then null.
void OnReadable(const THooksPtr& hooks, const std::error_code& ec) {
  hooks->ReadArmed = false;
  if (ec || hooks->Context == nullptr || !hooks->WantRead) return;
  redisAsyncHandleRead(hooks->Context);
  ArmRead(hooks);
}

void OnWritable(const THooksPtr& hooks, const std::error_code& ec) {
  hooks->WriteArmed = false;
  if (ec || hooks->Context == nullptr || !hooks->WantWrite) return;
  redisAsyncHandleWrite(hooks->Context);
  ArmWrite(hooks);
}

void ArmRead(const THooksPtr& hooks) {
  if (hooks->ReadArmed || !hooks->WantRead || hooks->Context == nullptr) return;
  hooks->ReadArmed = true;
  hooks->Socket.async_wait(asio::posix::stream_descriptor::wait_read,
                           [hooks](const std::error_code& ec) { OnReadable(hooks, ec); });
}

void ArmWrite(const THooksPtr& hooks) {
  if (hooks->WriteArmed || !hooks->WantWrite || hooks->Context == nullptr) return;
  hooks->WriteArmed = true;
  hooks->Socket.async_wait(asio::posix::stream_descriptor::wait_write,
                           [hooks](const std::error_code& ec) { OnWritable(hooks, ec); });
}

THooksPtr HooksOf(void* data) {
  return static_cast<TAsioHooks*>(data)->shared_from_this();
}

void AddRead(void* data) {
  auto hooks = HooksOf(data);
  hooks->WantRead = true;
  ArmRead(hooks);
}

void DelRead(void* data) {
  HooksOf(data)->WantRead = false;
}

void AddWrite(void* data) {
  auto hooks = HooksOf(data);
  hooks->WantWrite = true;
  ArmWrite(hooks);
}

void DelWrite(void* data) {
  HooksOf(data)->WantWrite = false;
}

// hiredis closes the descriptor itself: release it from asio (which also ends the pending
// waits) rather than letting the stream_descriptor close it a second time.
void Cleanup(void* data) {
  auto hooks = HooksOf(data);
  hooks->Context = nullptr;
  std::error_code ignored;
  hooks->Socket.cancel(ignored);
  hooks->Socket.release();
  hooks->Self.reset();
}

}  // namespace

void AttachToAsio(asio::io_context& io, redisAsyncContext* context) {
  auto hooks = std::make_shared<TAsioHooks>(io, context);
  hooks->Self = hooks;
  context->ev.data = hooks.get();
  context->ev.addRead = AddRead;
  context->ev.delRead = DelRead;
  context->ev.addWrite = AddWrite;
  context->ev.delWrite = DelWrite;
  context->ev.cleanup = Cleanup;
}

}  // namespace zorva
