#pragma once

#include <memory>
#include <string>

namespace platform {

// Handles failed assertions. Each thread has its own current handler; the
// default one raises Exception(kInternalInconsistencyException, description).
// Subclasses may record, log or abort instead.
class AssertionHandler {
 public:
  virtual ~AssertionHandler();

  // Called on the thread whose assertion failed.
  virtual void handleFailureInMethod(const std::string& method, const std::string& objectDescription,
                                     const std::string& file, long line, const std::string& description);
  virtual void handleFailureInFunction(const std::string& function, const std::string& file, long line,
                                       const std::string& description);

  // The calling thread's handler; a default one is made on first use.
  static std::shared_ptr<AssertionHandler> currentHandler();
  // Sets the calling thread's handler only; nullptr restores the default.
  static void setCurrentHandler(std::shared_ptr<AssertionHandler> handler);
};

}  // namespace platform
