#include "platform/application.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "testing/support.h"

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
// life.
TEST(ApplicationTest, MainQueueServesOtherThreadsUntilTerminate) {
  auto delegate = std::make_shared<RecordingDelegate>();
  // Ends a main queue that outstays its terminate, so that the test fails
  // instead of hanging.
  std::promise<void> ended;
  bool outstayed = false;
  std::thread watchdog([&, ended_future = ended.get_future()] {
    if (ended_future.wait_for(testing::kPatience) !=
        std::future_status::ready) {
      outstayed = true;
      Application::shared().terminate(nullptr);
    }
  });
  int status = ApplicationMain(0, nullptr, [&] { return delegate; });
  ended.set_value();
  watchdog.join();
  delegate->worker.join();
  EXPECT_FALSE(outstayed) << "the main queue did not end";
  EXPECT_EQ(status, 0);
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
