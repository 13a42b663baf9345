#include "Http/CurlMulti.h"

#include <glib.h>

#include <mutex>
#include <utility>
#include <vector>

#include "RunLoop/GSourceSupport.h"

namespace platform {
namespace {

// The source that keeps a context's shared multi handle: never ready, it
// only lives as long as the context and ends the multi handle with it.
struct SharedSource {
  GSource base;
  CurlMulti* multi;
};

gboolean sharedNeverReady(GSource*, gint* timeout) {
  *timeout = -1;
  return FALSE;
}

gboolean sharedDispatch(GSource*, GSourceFunc, gpointer) { return G_SOURCE_CONTINUE; }

}  // namespace

void CurlMulti::initializeCurl() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CurlMulti::CurlMulti(RunLoop runLoop, Completion completion, DriveHandler afterDrive)
    : heldRunLoop_(std::make_unique<RunLoop>(std::move(runLoop))),
      context_(heldRunLoop_->context()),
      completion_(std::move(completion)),
      afterDrive_(std::move(afterDrive)) {
  setUp();
}

CurlMulti::CurlMulti(Shared, const RunLoop& runLoop) : context_(runLoop.context()) { setUp(); }

void CurlMulti::setUp() {
  initializeCurl();
  multi_ = curl_multi_init();
  if (!multi_) return;
  curl_multi_setopt(multi_, CURLMOPT_SOCKETFUNCTION, &CurlMulti::socketCallback);
  curl_multi_setopt(multi_, CURLMOPT_SOCKETDATA, this);
  curl_multi_setopt(multi_, CURLMOPT_TIMERFUNCTION, &CurlMulti::timerCallback);
  curl_multi_setopt(multi_, CURLMOPT_TIMERDATA, this);
  timeoutSource_ = newDeadlineSource(-1);
  g_source_set_callback(timeoutSource_, &CurlMulti::timeoutFired, this, nullptr);
  attachSource(timeoutSource_, context_);
}

CurlMulti::~CurlMulti() {
  *alive_ = false;
  closing_ = true;
  // curl_multi_cleanup leaves the easy handles added; they must be taken out
  // first or a later cleanup of theirs touches the freed multi handle.
  if (multi_) {
    for (const auto& [easy, transfer] : added_) curl_multi_remove_handle(multi_, easy);
    curl_multi_cleanup(multi_);
  }
  watches_.clear();
  if (timeoutSource_) {
    g_source_destroy(timeoutSource_);
    g_source_unref(timeoutSource_);
  }
}

CurlMulti& CurlMulti::shared(const RunLoop& runLoop) {
  static GSourceFuncs funcs = {sharedNeverReady, nullptr, sharedDispatch, &CurlMulti::finalizeShared,
                               nullptr,          nullptr};
  const auto fill = [&](GSource* made) {
    reinterpret_cast<SharedSource*>(made)->multi = new CurlMulti(Shared{}, runLoop);
  };
  GSource* source = contextSource(runLoop.context(), &funcs, sizeof(SharedSource), "platform.curl", fill);
  return *reinterpret_cast<SharedSource*>(source)->multi;
}

// The context is going: its sources are already detached from it, so the
// multi handle's watches and deadline only let go of theirs.
void CurlMulti::finalizeShared(GSource* source) {
  PLATFORM_TSAN_ACQUIRE(source);
  delete reinterpret_cast<SharedSource*>(source)->multi;
}

bool CurlMulti::add(CURL* easy, Completion completion) {
  if (!multi_ || !easy || added_.contains(easy)) return false;
  // Adding arms curl's timer; the transfer runs from the run loop from then on.
  if (curl_multi_add_handle(multi_, easy) != CURLM_OK) return false;
  added_.emplace(easy, Transfer{std::move(completion), nextSerial_++});
  return true;
}

void CurlMulti::remove(CURL* easy) {
  if (!multi_ || added_.erase(easy) == 0) return;
  curl_multi_remove_handle(multi_, easy);
}

void CurlMulti::drive(curl_socket_t socket, int eventMask) {
  if (!multi_) return;
  // Copies: a callback may destroy this object and its members with it.
  const std::shared_ptr<bool> alive = alive_;
  const DriveHandler afterDrive = afterDrive_;
  int running = 0;
  curl_multi_socket_action(multi_, socket, eventMask, &running);
  // The messages first, then the completions: a completion may remove other
  // handles, add them again or end this object.
  struct Finished {
    CURL* easy;
    CURLcode result;
    std::uint64_t serial;
  };
  std::vector<Finished> done;
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    if (const auto found = added_.find(message->easy_handle); found != added_.end()) {
      done.push_back({message->easy_handle, message->data.result, found->second.serial});
    }
  }
  for (const auto& [easy, result, serial] : done) {
    const auto found = added_.find(easy);
    // Removed by an earlier completion, or removed and added again for a
    // transfer that has not finished.
    if (found == added_.end() || found->second.serial != serial) continue;
    const Completion completion = found->second.completion ? std::move(found->second.completion) : completion_;
    added_.erase(found);
    curl_multi_remove_handle(multi_, easy);
    if (completion) completion(easy, result);
    if (!*alive) return;
  }
  if (afterDrive) afterDrive();
}

// --- curl's callbacks: they only record; nothing here calls out ---

int CurlMulti::socketCallback(CURL*, curl_socket_t socket, int what, void* data, void*) {
  auto self = static_cast<CurlMulti*>(data);
  if (what == CURL_POLL_REMOVE || self->closing_) {
    self->watches_.erase(socket);
    return 0;
  }
  unsigned events = 0;
  if (what == CURL_POLL_IN || what == CURL_POLL_INOUT) events |= FdWatch::kReadable;
  if (what == CURL_POLL_OUT || what == CURL_POLL_INOUT) events |= FdWatch::kWritable;
  auto& watch = self->watches_[socket];
  if (watch) {
    watch->setEvents(events);
  } else {
    watch = std::make_unique<FdWatch>(self->runLoop(), socket, events, [self](int fd, unsigned conditions) {
      int mask = 0;
      if (conditions & FdWatch::kReadable) mask |= CURL_CSELECT_IN;
      if (conditions & FdWatch::kWritable) mask |= CURL_CSELECT_OUT;
      if (conditions & (FdWatch::kError | FdWatch::kHangUp)) mask |= CURL_CSELECT_ERR;
      self->drive(fd, mask);
    });
  }
  return 0;
}

int CurlMulti::timerCallback(CURLM*, long timeoutMs, void* data) {
  auto self = static_cast<CurlMulti*>(data);
  if (!self->timeoutSource_) return 0;
  const gint64 readyTime = timeoutMs < 0 ? -1 : monotonicMicrosAfter(std::chrono::milliseconds(timeoutMs));
  g_source_set_ready_time(self->timeoutSource_, readyTime);
  return 0;
}

int CurlMulti::timeoutFired(void* data) {
  auto self = static_cast<CurlMulti*>(data);
  // Disarmed until curl asks again.
  g_source_set_ready_time(self->timeoutSource_, -1);
  self->drive(CURL_SOCKET_TIMEOUT, 0);
  return G_SOURCE_CONTINUE;
}

}  // namespace platform
