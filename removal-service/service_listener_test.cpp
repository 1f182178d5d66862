// The listener layer in-process, on a private bus with no activation: a
// test delegate exports objects that record who they served and can hold a
// call open, so that ordering between peers is observed, not timed.
#include "removal-service/service_listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <set>

#include "protocol/identifiers.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

using ::quillfen::testing::CallRemoveWithFileDict;
using ::quillfen::testing::OwnerPid;
using ::quillfen::testing::TempTree;
using ::quillfen::testing::TestBus;

// Answers every call with the object's identity and the request's "tag";
// a request with "hold" waits until the test opens the gate.
class RecordingObject : public QuillfenRemovalServiceProtocol {
 public:
  explicit RecordingObject(std::shared_future<void> gate) : gate_(gate) {}
  void removeWithFileDict(const RemovalRequest& request,
                          const ReplyBlock& withReply) override {
    int running = ++running_;
    int seen = max_running->load();
    while (seen < running &&
           !max_running->compare_exchange_weak(seen, running)) {
    }
    if (request.contains("hold")) gate_.wait();
    --running_;
    withReply({{"object",
                Value(std::to_string(reinterpret_cast<std::uintptr_t>(this)))},
               {"tag", request.at("tag")}});
  }
  std::atomic<int> running_ = 0;
  // Outlives the object, for tests that look after it is gone.
  std::shared_ptr<std::atomic<int>> max_running =
      std::make_shared<std::atomic<int>>(0);

 private:
  std::shared_future<void> gate_;
};

class RecordingDelegate : public ServiceListenerDelegate {
 public:
  explicit RecordingDelegate(std::shared_future<void> gate) : gate_(gate) {}
  bool listenerShouldAcceptNewConnection(ServiceListener&,
                                         ServiceConnection& c) override {
    auto object = std::make_shared<RecordingObject>(gate_);
    objects.push_back(object);
    max_running.push_back(object->max_running);
    c.setExportedInterface(ServiceInterface::WithProtocol());
    c.setExportedObject(object);
    c.resume();
    return true;
  }
  // Written on the listener's thread during an offer.
  std::vector<std::weak_ptr<RecordingObject>> objects;
  std::vector<std::shared_ptr<std::atomic<int>>> max_running;

 private:
  std::shared_future<void> gate_;
};

class ServiceListenerTest : public ::testing::Test {
 protected:
  void StartListener(std::chrono::milliseconds idle) {
    listener_ =
        std::make_unique<ServiceListener>(ServiceListener::Options{idle});
    listener_->setDelegate(&delegate_);
    run_ =
        std::async(std::launch::async, [this] { return listener_->resume(); });
    auto probe = bus_.Connect();
    while (OwnerPid(*probe, std::string(ServiceName)) < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  // Waits for the listener to stop by itself, and answers its status.
  int StopStatus() { return run_.get(); }

  Dictionary Call(sdbus::IConnection& peer, const char* tag,
                  bool hold = false) {
    Dictionary request{{"tag", Value(tag)}};
    if (hold) request.emplace("hold", Value(true));
    return CallRemoveWithFileDict(peer, request);
  }

  TempTree empty_services_;
  TestBus bus_{empty_services_.path()};
  std::promise<void> open_gate_;
  std::shared_future<void> gate_ = open_gate_.get_future().share();
  RecordingDelegate delegate_{gate_};
  std::unique_ptr<ServiceListener> listener_;
  std::future<int> run_;
};

TEST_F(ServiceListenerTest, EachPeerHasItsOwnObjectForAllItsCalls) {
  StartListener(std::chrono::milliseconds(200));
  auto a = bus_.Connect();
  auto b = bus_.Connect();
  Dictionary a1 = Call(*a, "a1"), b1 = Call(*b, "b1"), a2 = Call(*a, "a2");
  EXPECT_EQ(a1.at("tag"), Value("a1"));
  EXPECT_EQ(b1.at("tag"), Value("b1"));
  EXPECT_EQ(a2.at("tag"), Value("a2"));
  EXPECT_EQ(a1.at("object"), a2.at("object"));
  EXPECT_NE(a1.at("object"), b1.at("object"));
  a.reset();
  b.reset();
  EXPECT_EQ(StopStatus(), 0);
  EXPECT_EQ(delegate_.objects.size(), 2u);
}

TEST_F(ServiceListenerTest, OnePeersLongCallDoesNotHoldAnotherUp) {
  StartListener(std::chrono::milliseconds(200));
  auto a = bus_.Connect();
  auto b = bus_.Connect();
  auto held =
      std::async(std::launch::async, [&] { return Call(*a, "long", true); });
  // "b" is served while "a" is still inside its call.
  EXPECT_EQ(Call(*b, "short").at("tag"), Value("short"));
  EXPECT_EQ(held.wait_for(std::chrono::milliseconds(50)),
            std::future_status::timeout);
  open_gate_.set_value();
  EXPECT_EQ(held.get().at("tag"), Value("long"));
}

TEST_F(ServiceListenerTest, OnePeersCallsRunOneAfterAnother) {
  StartListener(std::chrono::milliseconds(200));
  auto a = bus_.Connect();
  a->enterEventLoopAsync();
  auto proxy = sdbus::createProxy(*a, std::string(ServiceName),
                                  std::string(kServiceObjectPath));
  std::atomic<int> replies = 0;
  std::latch all_replied(5);
  for (int i = 0; i < 5; ++i) {
    DbusDictionary request = DbusFromDictionary(
        {{"tag", Value(std::to_string(i))}, {"hold", Value(true)}});
    proxy->callMethodAsync("RemoveWithFileDict")
        .onInterface("org.quillfen.QuillfenRemovalServiceProtocol")
        .withTimeout(UINT64_MAX)
        .withArguments(request)
        .uponReplyInvoke([&](const sdbus::Error* error, DbusDictionary) {
          if (error == nullptr) ++replies;
          all_replied.count_down();
        });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  open_gate_.set_value();
  all_replied.wait();
  EXPECT_EQ(replies, 5);
  a->leaveEventLoop();
  EXPECT_EQ(StopStatus(), 0);
  ASSERT_EQ(delegate_.objects.size(), 1u);
  EXPECT_EQ(*delegate_.max_running[0], 1);
  EXPECT_TRUE(delegate_.objects[0].expired());
}

TEST_F(ServiceListenerTest, PeerLeavingMidCallDropsItsObjectAndServesOthers) {
  StartListener(std::chrono::milliseconds(300));
  auto a = bus_.Connect();
  auto proxy = sdbus::createProxy(*a, std::string(ServiceName),
                                  std::string(kServiceObjectPath));
  proxy->callMethodAsync("RemoveWithFileDict")
      .onInterface("org.quillfen.QuillfenRemovalServiceProtocol")
      .withArguments(
          DbusFromDictionary({{"tag", Value("gone")}, {"hold", Value(true)}}))
      .uponReplyInvoke([](const sdbus::Error*, DbusDictionary) {});
  a->processPendingRequest();  // Sends the call.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  proxy.reset();
  a.reset();  // The peer leaves while its call runs.
  open_gate_.set_value();
  auto b = bus_.Connect();
  EXPECT_EQ(Call(*b, "next").at("tag"), Value("next"));
  // The departed peer's object goes as soon as its call has ended.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!delegate_.objects[0].expired() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(delegate_.objects[0].expired());
}

TEST_F(ServiceListenerTest, PeerThatNeverCallsCostsNothingAndIdleStillStops) {
  StartListener(std::chrono::milliseconds(100));
  auto a = bus_.Connect();
  auto peer = sdbus::createProxy(*a, std::string(ServiceName),
                                 std::string(kServiceObjectPath));
  peer->callMethod("Ping").onInterface("org.freedesktop.DBus.Peer");
  EXPECT_EQ(StopStatus(), 0);
  EXPECT_TRUE(delegate_.objects.empty());
  EXPECT_LT(OwnerPid(*a, std::string(ServiceName)), 0);
}

TEST_F(ServiceListenerTest, RefusedOrHalfSetUpConnectionsGetAnError) {
  struct Refusing : ServiceListenerDelegate {
    bool listenerShouldAcceptNewConnection(ServiceListener&,
                                           ServiceConnection& c) override {
      // Exported but never resumed: nothing may reach the object.
      c.setExportedInterface(ServiceInterface::WithProtocol());
      c.setExportedObject(
          std::make_shared<RecordingObject>(std::shared_future<void>()));
      return true;
    }
  } refusing;
  listener_ = std::make_unique<ServiceListener>(
      ServiceListener::Options{std::chrono::milliseconds(100)});
  listener_->setDelegate(&refusing);
  run_ = std::async(std::launch::async, [this] { return listener_->resume(); });
  auto a = bus_.Connect();
  while (OwnerPid(*a, std::string(ServiceName)) < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  try {
    Call(*a, "x");
    ADD_FAILURE() << "the call went through";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), "org.freedesktop.DBus.Error.AccessDenied");
  }
  EXPECT_EQ(StopStatus(), 0);
}

}  // namespace
}  // namespace quillfen
