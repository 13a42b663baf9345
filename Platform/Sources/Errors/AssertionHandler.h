#pragma once

#include <memory>
#include <string>

#include "Values/Object.h"

namespace platform {

// Handles failed assertions. Each thread has its own current handler; the
// default one raises Exception(kInternalInconsistencyException, description).
// Subclasses may record, log or abort instead.
class AssertionHandler {
 public:
  virtual ~AssertionHandler();

  // Called on the thread whose assertion failed, with the method's name, the
  // object whose method failed (its class name is object->className(); it
  // may be nullptr), the file, the line and the formatted description.
  virtual void handleFailureInMethod(const std::string& method, const Object* object, const std::string& file,
                                     long line, const std::string& description);
  virtual void handleFailureInFunction(const std::string& function, const std::string& file, long line,
                                       const std::string& description);

  // The calling thread's handler; a default one is made on first use.
  static std::shared_ptr<AssertionHandler> currentHandler();
  // Sets the calling thread's handler only; nullptr restores the default.
  static void setCurrentHandler(std::shared_ptr<AssertionHandler> handler);
};

}  // namespace platform
