#pragma once

#include <functional>
#include <memory>

#include "Dispatch/Operation.h"

namespace platform {

// An operation whose work is a block.
class BlockOperation : public Operation {
 public:
  explicit BlockOperation(std::function<void()> block) : block_(std::move(block)) {}
  static std::shared_ptr<BlockOperation> make(std::function<void()> block) {
    return std::make_shared<BlockOperation>(std::move(block));
  }
  void main() override {
    if (block_) block_();
  }

 private:
  std::function<void()> block_;
};

}  // namespace platform
