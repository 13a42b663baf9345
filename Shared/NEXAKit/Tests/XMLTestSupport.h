#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DQLog.h"
#include "DQXMLDocument.h"
#include "DQXMLElement.h"

// Fixture of the XML tests: captures the library's log lines and parses
// documents from text.
class XMLTest : public ::testing::Test {
 protected:
  void SetUp() override {
    com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger([this](int level, const std::string& message) {
      std::lock_guard lock(mutex_);
      lines_.emplace_back(level, message);
    });
  }
  void TearDown() override { com_zarn_NEXAKit_TolvekDQLogInstallSharedLogger(nullptr); }

  static std::shared_ptr<DQXMLDocument> parse(std::string_view text, platform::ErrorPtr* error = nullptr) {
    platform::Data data(text.begin(), text.end());
    return DQXMLDocument::documentWithData(data, error);
  }

  // Whether a line with exactly this text was logged at this level.
  bool logged(int level, std::string_view message) {
    std::lock_guard lock(mutex_);
    for (const auto& [lineLevel, text] : lines_) {
      if (lineLevel == level && text == message) return true;
    }
    return false;
  }

 private:
  std::mutex mutex_;  // guards lines_; the logger runs on the logging thread
  std::vector<std::pair<int, std::string>> lines_;
};
