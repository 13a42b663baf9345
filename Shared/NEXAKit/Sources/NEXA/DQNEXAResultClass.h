#pragma once

#include <concepts>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "DQXMLDocument.h"
#include "Errors/Error.h"
#include "Values/Dictionary.h"
#include "Values/Object.h"
#include "Values/Value.h"

// A result class as a value: its run-time name and the class operation that
// makes a result object from a response body. An empty factory means the
// class does not adopt the result protocol. Copied freely; no state.
struct DQNEXAResultClass {
  // Makes the result from the body (nullptr when there is none) or answers
  // nullptr with an error. Called on the thread of the operation that built
  // the result.
  using Factory = std::function<platform::ObjectPtr(const platform::Data* data, platform::ErrorPtr* error)>;

  std::string name;
  Factory documentWithData;

  static constexpr const char* kClassPrefix = "com.zarn.NEXAKit.Tolvek.";

  // The library's document classes.
  static DQNEXAResultClass XMLDocument();
  static DQNEXAResultClass postcardDocument();
  // A document subclass of the library's user, registered under `name` (its
  // run-time name).
  template <std::derived_from<DQXMLDocument> T>
  static DQNEXAResultClass XMLDocumentClass(std::string name) {
    return {std::move(name), [](const platform::Data* data, platform::ErrorPtr* error) -> platform::ObjectPtr {
              static const platform::Data kEmpty;
              return DQXMLDocument::documentWithData<T>(data ? *data : kEmpty, error);
            }};
  }
};

// A result object that answers calls by name, as the function part of a
// dependent path expression names them: `selector` with its arguments. nullopt
// when it does not know the selector. Called on the operation's thread.
class IDQNEXASelectorTarget {
 public:
  virtual ~IDQNEXASelectorTarget() = default;
  virtual std::optional<platform::Value> perform(std::string_view selector,
                                                 const std::vector<platform::Value>& arguments) = 0;
};

// A result object that keeps the response's header fields (given after the
// result is made, on the operation's thread).
class IDQNEXAHeaderReceiver {
 public:
  virtual ~IDQNEXAHeaderReceiver() = default;
  virtual void setHeader(const std::optional<platform::Dictionary>& header) = 0;
};
