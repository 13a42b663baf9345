#include "RunLoop/RunLoopThread.h"

#include <glib.h>
#include <pthread.h>

namespace platform {
namespace {

RunLoop newRunLoop() {
  GMainContext* context = g_main_context_new();
  RunLoop loop(context);
  g_main_context_unref(context);
  return loop;
}

}  // namespace

void RunLoopThread::setCurrentThreadName(const std::string& name) {
  pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

RunLoopThread::RunLoopThread(std::string name)
    : name_(std::move(name)), runLoop_(newRunLoop()), stop_(std::make_shared<std::atomic<bool>>(false)) {
  thread_ = std::thread([loop = runLoop_, stop = stop_, threadName = name_] {
    setCurrentThreadName(threadName);
    g_main_context_push_thread_default(loop.context());
    while (!stop->load()) loop.runOnce(true);
    g_main_context_pop_thread_default(loop.context());
  });
}

RunLoopThread::~RunLoopThread() {
  // The stop request queues behind every block performed before it.
  runLoop_.perform([stop = stop_] { stop->store(true); });
  if (isCurrent()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

}  // namespace platform
