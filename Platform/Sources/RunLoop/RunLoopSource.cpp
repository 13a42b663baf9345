#include "RunLoop/RunLoopSource.h"

#include <glib.h>

#include "RunLoop/GSourceSupport.h"

namespace platform {
namespace {

template <class State>
struct SignalSource {
  GSource base;
  std::shared_ptr<State>* state;  // owned; freed in finalize
};

}  // namespace

int RunLoopSource::prepare(GSource* source, int* timeout) {
  *timeout = -1;
  return check(source);
}

int RunLoopSource::check(GSource* source) {
  PLATFORM_TSAN_ACQUIRE(source);
  auto self = reinterpret_cast<SignalSource<State>*>(source);
  const bool signalled = (*self->state)->signalled.load();
  PLATFORM_TSAN_RELEASE(source);
  return signalled ? TRUE : FALSE;
}

int RunLoopSource::dispatch(GSource* source, int (*)(void*), void*) {
  PLATFORM_TSAN_ACQUIRE(source);
  auto self = reinterpret_cast<SignalSource<State>*>(source);
  std::shared_ptr<State> state = *self->state;
  if (state->signalled.exchange(false) && state->valid.load() && state->perform) state->perform();
  PLATFORM_TSAN_RELEASE(source);
  return G_SOURCE_CONTINUE;
}

void RunLoopSource::finalize(GSource* source) {
  PLATFORM_TSAN_ACQUIRE(source);
  auto self = reinterpret_cast<SignalSource<State>*>(source);
  delete self->state;
  self->state = nullptr;
}

RunLoopSource::RunLoopSource(std::function<void()> perform) : state_(std::make_shared<State>()) {
  state_->perform = std::move(perform);
}

RunLoopSource::~RunLoopSource() { invalidate(); }

void RunLoopSource::schedule(const RunLoop& runLoop) {
  static GSourceFuncs funcs = {&RunLoopSource::prepare, &RunLoopSource::check, &RunLoopSource::dispatch,
                               &RunLoopSource::finalize, nullptr, nullptr};
  // Attached under the lock: invalidate() marks the source invalid before it
  // takes the lock, so it either finds this GSource attached or stops it
  // here, and never frees it before it is attached.
  std::lock_guard lock(mutex_);
  if (!state_->valid.load()) return;
  GSource* source = g_source_new(&funcs, sizeof(SignalSource<State>));
  reinterpret_cast<SignalSource<State>*>(source)->state = new std::shared_ptr<State>(state_);
  g_source_set_name(source, "platform.signal");
  if (!runLoop_) runLoop_ = runLoop;
  sources_.emplace_back(source, runLoop);
  attachSource(source, runLoop.context());
  // A signal that came before the source was attached wakes the loop now.
  if (state_->signalled.load()) runLoop.wakeUp();
}

void RunLoopSource::signal() {
  state_->everSignalled.store(true);
  state_->signalled.store(true);
  std::lock_guard lock(mutex_);
  for (const auto& scheduled : sources_) scheduled.second.wakeUp();
  // The remembered run loop may be one the source was never scheduled in
  // (setRunLoop); waking a loop twice does no harm.
  if (runLoop_) runLoop_->wakeUp();
}

void RunLoopSource::invalidate() {
  state_->valid.store(false);
  std::vector<std::pair<GSource*, RunLoop>> sources;
  {
    std::lock_guard lock(mutex_);
    sources.swap(sources_);
  }
  // The run loops go last, with the vector: a context may end with them.
  for (const auto& scheduled : sources) {
    GSource* source = scheduled.first;
    PLATFORM_TSAN_RELEASE(source);
    g_source_destroy(source);
    g_source_unref(source);
  }
}

std::optional<RunLoop> RunLoopSource::runLoop() const {
  std::lock_guard lock(mutex_);
  return runLoop_;
}

void RunLoopSource::setRunLoop(const RunLoop& runLoop) {
  std::lock_guard lock(mutex_);
  runLoop_ = runLoop;
}

}  // namespace platform
