// Drives one hiredis asynchronous context from an asio::io_context: hiredis's read and write
// hooks become async_waits on the context's socket, so its replies are read on the loop's
// thread, between the daemon's other events, and nothing waits for Redis.
//
//   redisAsyncContext* context = redisAsyncConnect(ip, port);
//   if (!context->err) AttachToAsio(io, context);  // before setting the connect callback
//
// The adapter lives until hiredis frees the context (its cleanup hook); a wait still pending
// then ends without touching the freed context.
#pragma once

#include <asio/io_context.hpp>

struct redisAsyncContext;

namespace zorva {

void AttachToAsio(asio::io_context& io, redisAsyncContext* context);

}  // namespace zorva
