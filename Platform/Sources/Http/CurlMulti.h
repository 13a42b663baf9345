#pragma once

#include <curl/curl.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>

#include "RunLoop/FdWatch.h"
#include "RunLoop/RunLoop.h"

typedef struct _GMainContext GMainContext;
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
//
// Transfers of one multi handle share its connection cache: a connection that
// a finished transfer leaves open is taken again by a later transfer to the
// same peer with the same TLS and proxy settings (libcurl checks that it is
// still alive and drops it after two idle minutes).
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

  // The run loop's shared multi handle, for transfers that should share
  // connections: added with a completion of their own, it has none. It is
  // the single instance of this class per run loop and its only shared
  // state, kept by the run loop itself (a source of its GLib context, not a
  // table of ours): made at first use and cleaned up, with the connections it
  // still holds open, when the context goes; the main run loop's lives as
  // long as the process. Call on the run loop's thread.
  static CurlMulti& shared(const RunLoop& runLoop);

  // libcurl's global set-up, once per process. Any thread.
  static void initializeCurl();

  // False when the multi handle could not be made or refuses the handle.
  // The transfer's completion is the one given here, else the multi's own.
  bool add(CURL* easy, Completion completion = {});
  // Cancels a transfer; nothing when it is not added.
  void remove(CURL* easy);
  bool isEmpty() const { return added_.empty(); }
  RunLoop runLoop() const { return RunLoop(context_); }

 private:
  struct Transfer {
    Completion completion;
    // Tells a handle added again apart from its earlier transfer.
    std::uint64_t serial;
  };
  struct Shared {};

  // The shared form: it holds no reference on the context that holds it.
  CurlMulti(Shared, const RunLoop& runLoop);
  void setUp();
  void drive(curl_socket_t socket, int eventMask);
  static int socketCallback(CURL* easy, curl_socket_t socket, int what, void* multi, void* socketData);
  static int timerCallback(CURLM* handle, long timeoutMs, void* multi);
  static int timeoutFired(void* multi);
  static void finalizeShared(GSource* source);

  // Null for the shared form, which its context outlives.
  const std::unique_ptr<RunLoop> heldRunLoop_;
  GMainContext* const context_;
  const Completion completion_;
  const DriveHandler afterDrive_;
  CURLM* multi_ = nullptr;
  GSource* timeoutSource_ = nullptr;
  std::unordered_map<curl_socket_t, std::unique_ptr<FdWatch>> watches_;
  std::unordered_map<CURL*, Transfer> added_;
  std::uint64_t nextSerial_ = 0;
  // Set while the destructor runs: curl may only let go of sockets then.
  bool closing_ = false;
  // Cleared by the destructor, so a drive learns that a callback destroyed
  // this object.
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace platform
