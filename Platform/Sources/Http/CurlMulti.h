#pragma once

#include <curl/curl.h>

#include <functional>
#include <memory>
#include <unordered_map>
#include <unordered_set>

#include "RunLoop/FdWatch.h"
#include "RunLoop/RunLoop.h"

typedef struct _GSource GSource;

namespace platform {

// Drives libcurl transfers from a run loop: one curl multi handle whose
// sockets become fd watches of that run loop and whose timer a deadline
// source of it. The run loop's thread performs every transfer and gets every
// callback; nothing blocks and no thread is started.
//
// The easy handles stay the caller's: it sets them up, adds them, and cleans
// them up after they completed or were removed. Removing a handle cancels its
// transfer: no completion comes for it afterwards. Used on the run loop's
// thread only (made before it runs, or on it).
class CurlMulti {
 public:
  // A finished transfer, already taken out of the multi handle. Run loop's
  // thread; it may remove other handles or destroy this object.
  using Completion = std::function<void(CURL* easy, CURLcode result)>;
  // After each turn of curl (a socket event or its timer), once the
  // completions of that turn were called. Run loop's thread; it may destroy
  // this object.
  using DriveHandler = std::function<void()>;

  CurlMulti(RunLoop runLoop, Completion completion, DriveHandler afterDrive = {});
  // Removes the handles still added (without completion); also from inside
  // one of its own callbacks.
  ~CurlMulti();
  CurlMulti(const CurlMulti&) = delete;
  CurlMulti& operator=(const CurlMulti&) = delete;

  // libcurl's global set-up, once per process. Any thread.
  static void initializeCurl();

  // False when the multi handle could not be made or refuses the handle.
  bool add(CURL* easy);
  // Cancels a transfer; nothing when it is not added.
  void remove(CURL* easy);
  bool isEmpty() const { return added_.empty(); }
  const RunLoop& runLoop() const { return runLoop_; }

 private:
  void drive(curl_socket_t socket, int eventMask);
  static int socketCallback(CURL* easy, curl_socket_t socket, int what, void* multi, void* socketData);
  static int timerCallback(CURLM* handle, long timeoutMs, void* multi);
  static int timeoutFired(void* multi);

  const RunLoop runLoop_;
  const Completion completion_;
  const DriveHandler afterDrive_;
  CURLM* multi_ = nullptr;
  GSource* timeoutSource_ = nullptr;
  std::unordered_map<curl_socket_t, std::unique_ptr<FdWatch>> watches_;
  std::unordered_set<CURL*> added_;
  // Cleared by the destructor, so a drive learns that a callback destroyed
  // this object.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform
