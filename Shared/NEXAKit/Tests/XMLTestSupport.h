#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "DQXMLDocument.h"
#include "DQXMLElement.h"
#include "TestSupport.h"

// Fixture of the XML tests: keeps the library's log lines and parses
// documents from text.
class XMLTest : public ::testing::Test {
 protected:
  static std::shared_ptr<DQXMLDocument> parse(std::string_view text, platform::ErrorPtr* error = nullptr) {
    platform::Data data(text.begin(), text.end());
    return DQXMLDocument::documentWithData(data, error);
  }

  // Whether a line with exactly this text was logged at this level.
  bool logged(int level, std::string_view message) const { return log_.contains(level, std::string(message)); }
  // Whether a line containing this text was logged at this level.
  bool loggedPart(int level, std::string_view part) const {
    for (const auto& [lineLevel, line] : log_.lines()) {
      if (lineLevel == level && line.find(part) != std::string::npos) return true;
    }
    return false;
  }

 private:
  testsupport::CapturedLog log_;
};
