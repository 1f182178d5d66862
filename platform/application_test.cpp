#include "platform/application.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace quillfen {
namespace {

class RecordingDelegate : public ApplicationDelegate {
 public:
  void applicationDidFinishLaunching() override {
    launched_on_main = Application::isMainThread();
    // Work queued from other threads runs on the main thread, in order.
    worker = std::thread([this] {
      worker_is_main = Application::isMainThread();
      for (int i = 0; i < 100; ++i) {
        Application::shared().post([this, i] {
          order.push_back(i);
          all_on_main = all_on_main && Application::isMainThread();
        });
      }
      Application::shared().post(
          [] { Application::shared().terminate(nullptr); });
      Application::shared().post([this] { ran_after_terminate = true; });
    });
  }
  void applicationWillTerminate() override {
    terminated_on_main = Application::isMainThread();
  }

  std::thread worker;
  bool launched_on_main = false;
  bool terminated_on_main = false;
  std::atomic<bool> worker_is_main = true;
  bool all_on_main = true;
  bool ran_after_terminate = false;
  std::vector<int> order;
};

// The application is one per process: one test drives it through a whole
// life. A main queue that outstays its terminate hangs it until the test's
// time limit.
TEST(ApplicationTest, MainQueueServesOtherThreadsUntilTerminate) {
  auto delegate = std::make_shared<RecordingDelegate>();
  EXPECT_EQ(ApplicationMain(0, nullptr, [&] { return delegate; }), 0);
  delegate->worker.join();
  EXPECT_TRUE(delegate->launched_on_main);
  EXPECT_FALSE(delegate->worker_is_main);
  EXPECT_TRUE(delegate->all_on_main);
  EXPECT_TRUE(delegate->terminated_on_main);
  std::vector<int> expected(100);
  for (int i = 0; i < 100; ++i) expected[i] = i;
  EXPECT_EQ(delegate->order, expected);
  EXPECT_FALSE(delegate->ran_after_terminate);
  EXPECT_FALSE(Application::shared().delegate());  // Let go of at the end.
}

}  // namespace
}  // namespace quillfen
