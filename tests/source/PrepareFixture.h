// Runs MGPrepareRangeAssetForURL to its completion on a virtual main thread.
#pragma once

#include <gtest/gtest.h>

#include <thread>

#include "base/ManualScheduler.h"
#include "source/MGPrepareRangeAsset.h"

namespace kf::test {

struct Prepared {
  MGPreparation result;
  int calls = 0;
};

inline Prepared Prepare(const std::string& url, const std::string& registry) {
  ManualScheduler main;
  Prepared out;
  const auto mainThread = std::this_thread::get_id();
  MGPreparationOptions options;
  options.registryDirectory = registry;
  MGPrepareRangeAssetForURL(
      url, main,
      [&](MGPreparation r) {
        EXPECT_EQ(std::this_thread::get_id(), mainThread);
        out.result = std::move(r);
        ++out.calls;
      },
      options);
  EXPECT_TRUE(main.runUntil([&] { return out.calls > 0; }, 20.0)) << url;
  // Anything late would arrive through the same scheduler.
  main.runUntil([] { return false; }, 0.1);
  EXPECT_EQ(out.calls, 1) << url;
  // Exactly one of asset and error.
  EXPECT_NE(out.result.asset.has_value(), out.result.error.has_value()) << url;
  return out;
}

}  // namespace kf::test
