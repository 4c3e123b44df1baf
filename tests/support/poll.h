// Waiting for a condition that another thread or process brings about: the
// condition is checked again and again (first every millisecond, then less
// often, never more than 20 ms apart) until it holds or the limit passes.
// Limits are generous: reaching one means the condition never came.
#pragma once

#include <chrono>
#include <functional>

namespace kvx::test {

/// True as soon as `condition` holds; false when `limit` passes first.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace kvx::test
