#include "platform/distributed_notification_center.h"

#include <gtest/gtest.h>
#include <sdbus-c++/sdbus-c++.h>

#include <mutex>

#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

TEST(DistributedNotificationCenterTest,
     ReachesOtherProcessesEvenFromOneThatExitsAtOnce) {
  testing::TempTree no_services;
  testing::TestBus bus(no_services.path());
  auto watcher = bus.Connect();
  std::mutex mutex;
  std::vector<std::string> received;
  watcher->addMatch(
      NotificationMatchRule("replySentNotification"),
      [&](sdbus::Message& message) {
        std::string object;
        message >> object;
        std::lock_guard lock(mutex);
        received.push_back(object);
      },
      sdbus::floating_slot);
  watcher->enterEventLoopAsync();

  // A process that posts and ends at once: what it posted is already out.
  EXPECT_EQ(
      testing::RunInChild([] {
        return std::to_string(
            DistributedNotificationCenter::defaultCenter().postNotificationName(
                "replySentNotification", "from a child"));
      }),
      "1");
  testing::PollUntil(
      [&] {
        std::lock_guard lock(mutex);
        return !received.empty();
      },
      testing::kPatience);
  watcher->leaveEventLoop();
  EXPECT_EQ(received, std::vector<std::string>{"from a child"});
}

}  // namespace
}  // namespace quillfen
