// DelegateCall, a queued callback's type-erased call of the delegate: a
// small callable is stored inline, a large one on the heap; a copy is a
// second live callable, a move leaves the source empty, and each captured
// object is destroyed exactly once.
#include <gtest/gtest.h>

#include <array>
#include <functional>
#include <memory>
#include <utility>

#include "dispatcher.h"
#include "recording_delegate.h"

namespace {

using corvel::engine::DelegateCall;
using corvel_test::RecordingDelegate;

TEST(DelegateCall, SmallAndLargeCallablesAreCalledCopiedMovedAndReleasedOnce) {
  RecordingDelegate delegate;
  for (const bool large : {false, true}) {
    SCOPED_TRACE(large ? "large" : "small");
    auto token = std::make_shared<int>(0);
    int calls = 0;
    DelegateCall call;
    if (large) {
      std::array<char, 4 * DelegateCall::kInline> ballast{};
      ballast.back() = 5;
      call = [token, ballast, &calls](corvel::vora::VORACloudDelegate&) {
        calls += ballast.back();
      };
    } else {
      call = [token, &calls](corvel::vora::VORACloudDelegate&) { calls += 1; };
    }
    EXPECT_EQ(token.use_count(), 2);
    DelegateCall copy = call;
    EXPECT_EQ(token.use_count(), 3);
    DelegateCall moved = std::move(call);
    EXPECT_FALSE(call);
    EXPECT_EQ(token.use_count(), 3);
    moved(delegate);
    copy(delegate);
    EXPECT_EQ(calls, large ? 10 : 2);
    copy = std::move(moved);
    EXPECT_EQ(token.use_count(), 2);
    copy = nullptr;
    EXPECT_EQ(token.use_count(), 1);
  }
  EXPECT_THROW(DelegateCall()(delegate), std::bad_function_call);
}

}  // namespace
