#include "CoreCall.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace zorva {

namespace {

struct TCall {
  enum class State { Waiting, Running, Done, Abandoned };
  std::mutex Mutex;
  std::condition_variable Changed;
  State Now = State::Waiting;
};

// Done however the task ends, so the waiting thread is always released.
class TMarkDone {
 public:
  explicit TMarkDone(TCall& call) : FCall(call) {}
  ~TMarkDone() {
    std::lock_guard lock(FCall.Mutex);
    FCall.Now = TCall::State::Done;
    FCall.Changed.notify_all();
  }
  TMarkDone(const TMarkDone&) = delete;
  TMarkDone& operator=(const TMarkDone&) = delete;

 private:
  TCall& FCall;
};

}  // namespace

bool RunOnCore(ITransport& transport, const std::function<void()>& task,
               std::chrono::milliseconds timeout) {
  auto call = std::make_shared<TCall>();
  // The posted copy outlives this call when the core is late; it only touches `task` while the
  // caller is still waiting for it.
  transport.Post([call, &task] {
    {
      std::lock_guard lock(call->Mutex);
      if (call->Now == TCall::State::Abandoned) return;
      call->Now = TCall::State::Running;
    }
    const TMarkDone done(*call);
    task();
  });
  std::unique_lock lock(call->Mutex);
  call->Changed.wait_for(lock, timeout, [&] { return call->Now != TCall::State::Waiting; });
  if (call->Now == TCall::State::Waiting) {
    call->Now = TCall::State::Abandoned;
    return false;
  }
  call->Changed.wait(lock, [&] { return call->Now == TCall::State::Done; });
  return true;
}

}  // namespace zorva
