// The listener layer in-process, on a private bus with no activation: the
// exported objects record who they served and can hold a call open, so
// that ordering between peers is observed, not timed.
#include "service-bus/service_listener.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <future>
#include <latch>
#include <mutex>
#include <regex>
#include <sstream>

#include "base/error_text.h"
#include "protocol/identifiers.h"
#include "removal-engine/quillfen_removal_service.h"
#include "service-bus/bus_names.h"
#include "testing/in_process_service.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::CallRemoveWithFileDict;
using ::quillfen::testing::InProcessService;
using ::quillfen::testing::kPatience;
using ::quillfen::testing::PollUntil;
using namespace std::chrono_literals;

// Answers with its own identity and the request's "tag"; a request with
// "hold" waits until the test opens the gate, counted in |held| meanwhile.
class RecordingObject : public QuillfenRemovalServiceProtocol {
 public:
  RecordingObject(std::shared_future<void> gate, std::atomic<int>* held)
      : gate_(gate), held_(held) {}
  void removeWithFileDict(const RemovalRequest& request,
                          const ReplyBlock& withReply) override {
    int running = ++running_;
    int seen = max_running->load();
    while (seen < running &&
           !max_running->compare_exchange_weak(seen, running)) {
    }
    if (request.contains("hold")) {
      ++*held_;
      gate_.wait();
      --*held_;
    }
    --running_;
    withReply({{"object",
                Value(std::to_string(reinterpret_cast<std::uintptr_t>(this)))},
               {"tag", request.at("tag")}});
  }
  // Outlives the object, for looks after it is gone.
  std::shared_ptr<std::atomic<int>> max_running =
      std::make_shared<std::atomic<int>>(0);

 private:
  std::atomic<int> running_ = 0;
  std::shared_future<void> gate_;
  std::atomic<int>* held_;
};

// The members of |interface| in the introspection XML |xml|, sorted, one
// line each: kind and name (and a property's type and access), then each
// argument's name, type and direction.
std::vector<std::string> Members(const std::string& xml,
                                 const std::string& interface) {
  std::size_t begin = xml.find("<interface name=\"" + interface + "\"");
  if (begin == std::string::npos) return {};
  std::string body = xml.substr(begin, xml.find("</interface>", begin) - begin);
  auto attribute = [](const std::string& tag, const std::string& name) {
    std::smatch match;
    return std::regex_search(tag, match,
                             std::regex(" " + name + "=\"([^\"]*)\""))
               ? match[1].str()
               : std::string();
  };
  std::vector<std::string> members;
  std::regex member("<(method|signal|property)([^>]*)>([\\s\\S]*?)</\\1>"),
      arg("<arg[^>]*>");
  for (std::sregex_iterator it(body.begin(), body.end(), member), end;
       it != end; ++it) {
    std::string open = (*it)[2].str(), args = (*it)[3].str();
    std::string line = (*it)[1].str() + " " + attribute(open, "name");
    if ((*it)[1] == "property") {
      line += ":" + attribute(open, "type") + ":" + attribute(open, "access");
    }
    for (std::sregex_iterator a(args.begin(), args.end(), arg); a != end; ++a) {
      std::string tag = (*a)[0].str();
      line += " " + attribute(tag, "name") + ":" + attribute(tag, "type") +
              ":" + attribute(tag, "direction");
    }
    members.push_back(line);
  }
  std::sort(members.begin(), members.end());
  return members;
}

class ServiceListenerTest : public ::testing::Test {
 protected:
  // A test that stopped early must not leave a call held: the service's
  // end waits for it.
  ~ServiceListenerTest() override { OpenGate(); }

  void Start() {
    service_ = std::make_unique<InProcessService>(bus_, &delegate_);
  }
  // A call that isn't answered in good time fails the test by throwing.
  Dictionary Call(sdbus::IConnection& peer, const char* tag) {
    return CallRemoveWithFileDict(peer, Dictionary{{"tag", Value(tag)}},
                                  kPatience);
  }
  void OpenGate() {
    if (!gate_opened_) open_gate_.set_value();
    gate_opened_ = true;
  }
  // Whether |count| calls came to be held at the gate in good time.
  bool HeldSoon(int count) {
    return PollUntil([&] { return held_ == count; }, kPatience);
  }
  void SendHeld(sdbus::IProxy& proxy, const char* tag,
                std::function<void(const sdbus::Error*)> done) {
    proxy.callMethodAsync(bus::kRemoveMethod)
        .onInterface(bus::kInterface)
        .withTimeout(UINT64_MAX)
        .withArguments(
            *DbusFromDictionary({{"tag", Value(tag)}, {"hold", Value(true)}}))
        .uponReplyInvoke(
            [done](const sdbus::Error* e, DbusDictionary) { done(e); });
  }

  testing::TempTree no_services_;
  testing::TestBus bus_{no_services_.path()};
  std::promise<void> open_gate_;
  std::shared_future<void> gate_ = open_gate_.get_future().share();
  bool gate_opened_ = false;
  std::atomic<int> held_ = 0;
  // Written on the listener's thread during an offer.
  std::vector<std::weak_ptr<RecordingObject>> objects_;
  std::vector<std::shared_ptr<std::atomic<int>>> max_running_;
  testing::ExportingDelegate delegate_{[this] {
    auto object = std::make_shared<RecordingObject>(gate_, &held_);
    objects_.push_back(object);
    max_running_.push_back(object->max_running);
    return object;
  }};
  std::unique_ptr<InProcessService> service_;
};

// A peer that only pings costs nothing, and doesn't keep the service from
// its idle stop.
TEST_F(ServiceListenerTest, EachCallingPeerHasItsOwnObjectAndIdleStillStops) {
  Start();
  auto a = bus_.Connect(), b = bus_.Connect(), idle = bus_.Connect();
  auto idle_proxy = sdbus::createProxy(*idle, std::string(ServiceName),
                                       std::string(kServiceObjectPath));
  idle_proxy->callMethod("Ping").onInterface("org.freedesktop.DBus.Peer");

  Dictionary a1 = Call(*a, "a1"), b1 = Call(*b, "b1"), a2 = Call(*a, "a2");
  EXPECT_EQ(a1.at("object"), a2.at("object"));
  EXPECT_NE(a1.at("object"), b1.at("object"));
  a.reset();
  b.reset();
  EXPECT_EQ(service_->WaitUntilStopped(), 0);
  EXPECT_EQ(objects_.size(), 2u);
  EXPECT_LT(testing::OwnerPid(*idle, std::string(ServiceName)), 0);
}

// The service's introspection is the interface XML, descriptions included,
// and what the service registers agrees with it: each method's arguments
// (sd-bus checks them against the registration before any handler runs)
// and each property with its type.
TEST_F(ServiceListenerTest, IntrospectionIsTheXmlAndTheRegistrationAgrees) {
  Start();
  auto peer = bus_.Connect();
  auto proxy = sdbus::createProxy(*peer, std::string(ServiceName),
                                  std::string(kServiceObjectPath));
  std::string introspection;
  proxy->callMethod("Introspect")
      .onInterface("org.freedesktop.DBus.Introspectable")
      .storeResultsTo(introspection);
  const std::string xml = testing::FileContent(QUILLFEN_INTERFACE_XML);
  // The contract's interface: its one method, nothing else.
  EXPECT_EQ(Members(introspection, bus::kInterface),
            std::vector<std::string>{"method RemoveWithFileDict "
                                     "request:a{sv}:in reply:a{sv}:out"});
  EXPECT_NE(introspection.find("call it with no timeout"), std::string::npos);
  for (const char* interface : {bus::kInterface, bus::kJobsInterface}) {
    SCOPED_TRACE(interface);
    std::vector<std::string> members = Members(introspection, interface);
    EXPECT_EQ(members, Members(xml, interface));
    std::map<std::string, sdbus::Variant> properties;
    proxy->callMethod("GetAll")
        .onInterface("org.freedesktop.DBus.Properties")
        .withArguments(std::string(interface))
        .storeResultsTo(properties);
    for (const std::string& member : members) {
      std::smatch m;
      if (std::regex_match(member, m,
                           std::regex("property (\\w+):(.+):read"))) {
        ASSERT_TRUE(properties.contains(m[1])) << member;
        EXPECT_EQ(properties.at(m[1]).peekValueType(), m[2].str());
        properties.erase(m[1]);
      } else if (std::regex_match(member, m, std::regex("method (\\w+).*"))) {
        // Called with no arguments, it names the ones it was registered with.
        std::string in_signature;
        std::regex in_arg(":([^: ]+):in");
        for (std::sregex_iterator a(member.begin(), member.end(), in_arg), end;
             a != end; ++a) {
          in_signature += (*a)[1].str();
        }
        try {
          proxy->callMethod(m[1].str()).onInterface(interface);
          ADD_FAILURE() << m[1] << " took no arguments";
        } catch (const sdbus::Error& e) {
          EXPECT_NE(e.getMessage().find("expecting '" + in_signature + "'"),
                    std::string::npos)
              << e.getMessage();
        }
      }
    }
    EXPECT_TRUE(properties.empty()) << "registered beyond the XML";
  }
}

TEST_F(ServiceListenerTest, OnePeersCallsQueueWhileAnotherPeerIsServed) {
  Start();
  auto a = bus_.Connect(), b = bus_.Connect();
  a->enterEventLoopAsync();
  auto proxy = sdbus::createProxy(*a, std::string(ServiceName),
                                  std::string(kServiceObjectPath));
  std::atomic<int> replies = 0;
  std::latch all_replied(3);
  for (const char* tag : {"1", "2", "3"}) {
    SendHeld(*proxy, tag, [&](const sdbus::Error* e) {
      if (e == nullptr) ++replies;
      all_replied.count_down();
    });
  }
  // "b" is served while "a" is held inside its first call.
  ASSERT_TRUE(HeldSoon(1));
  EXPECT_EQ(Call(*b, "short").at("tag"), Value("short"));
  EXPECT_EQ(replies, 0);
  OpenGate();
  EXPECT_TRUE(PollUntil([&] { return all_replied.try_wait(); }, kPatience));
  EXPECT_EQ(replies, 3);
  a->leaveEventLoop();
  EXPECT_EQ(*max_running_[0], 1);  // One after another, never side by side.
}

TEST_F(ServiceListenerTest,
       PeerLeavingMidCallDropsItsObjectAndOthersAreServed) {
  Start();
  {
    auto a = bus_.Connect();
    auto proxy = sdbus::createProxy(*a, std::string(ServiceName),
                                    std::string(kServiceObjectPath));
    SendHeld(*proxy, "gone", [](const sdbus::Error*) {});
    a->processPendingRequest();  // Sends the call.
    ASSERT_TRUE(HeldSoon(1));
  }  // The peer leaves while its call runs.
  OpenGate();
  auto b = bus_.Connect();
  EXPECT_EQ(Call(*b, "next").at("tag"), Value("next"));
  EXPECT_TRUE(PollUntil([&] { return objects_[0].expired(); }, kPatience));
}

// The threads moved into it may start no other: a cgroup of the pids
// controller holding only them, at its limit, as a process is at the
// system's limit of threads. Needs root and the controller's hierarchy.
class ThreadLimit {
 public:
  ThreadLimit()
      : path_("/sys/fs/cgroup/pids/quillfen-test-" + std::to_string(getpid())) {
    if (mkdir(path_.c_str(), 0755) != 0) {
      ADD_FAILURE() << "this test limits threads with the pids controller, "
                    << "and can't make " << path_ << ": "
                    << SystemErrorText(errno);
    }
  }
  ~ThreadLimit() {
    std::istringstream tasks(testing::FileContent(path_ + "/tasks"));
    for (std::string task; std::getline(tasks, task);) {
      Write("/sys/fs/cgroup/pids/tasks", task);
    }
    rmdir(path_.c_str());
  }
  // Moves the calling thread in; the limit is what the group then holds.
  void HoldCallingThread() {
    Write(path_ + "/tasks", std::to_string(gettid()));
    Write(path_ + "/pids.max", "1");
  }
  void Lift() { Write(path_ + "/pids.max", "max"); }

 private:
  static void Write(const std::string& path, const std::string& text) {
    std::ofstream file(path);
    file << text << std::flush;
    EXPECT_TRUE(file.good()) << path << ": " << SystemErrorText(errno);
  }
  std::string path_;
};

// A peer's worker that can't be started answers its call with the reason,
// and leaves nothing in flight: later calls are served, the idle stop comes.
TEST_F(ServiceListenerTest, AWorkerThatCantStartIsAnErrorTheServiceOutlives) {
  ThreadLimit limit;
  struct LimitedOffer : testing::ExportingDelegate {
    LimitedOffer(MakeObject make, ThreadLimit* thread_limit)
        : ExportingDelegate(std::move(make)), limit(thread_limit) {}
    // On the listener's thread, just before it starts the peer's worker.
    bool listenerShouldAcceptNewConnection(ServiceListener& listener,
                                           ServiceConnection& c) override {
      limit->HoldCallingThread();
      return ExportingDelegate::listenerShouldAcceptNewConnection(listener, c);
    }
    ThreadLimit* limit;
  } limited_offer(
      [this] { return std::make_shared<RecordingObject>(gate_, &held_); },
      &limit);
  InProcessService service(bus_, &limited_offer);
  auto a = bus_.Connect();
  try {
    Call(*a, "refused");
    ADD_FAILURE() << "the call was served without a worker";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), bus::kErrorFailed);
    EXPECT_NE(e.getMessage().find("can’t start the work"), std::string::npos)
        << e.getMessage();
  }
  limit.Lift();
  EXPECT_EQ(Call(*a, "served").at("tag"), Value("served"));
  EXPECT_EQ(service.WaitUntilStopped(), 0);
}

// The real engine behind the listener. The volume is slow to walk for a
// reason of its own: every folder holds names that a wildcard entry can't
// settle within its budget, so the walk takes seconds on any disk.
class ServiceProgressTest : public ::testing::Test {
 protected:
  static constexpr int kFolders = 60;
  struct Heard {
    std::string token;
    std::uint64_t walked, removed, failed;
    bool finished;
  };

  void SetUp() override {
    for (int i = 0; i < kFolders * 3; ++i) {
      std::string stem = "d" + std::to_string(100 + i / 3) + "/";
      std::string j = std::to_string(i % 3);
      volume_.MakeFile(stem + "x" + std::string(240, 'a') + "_" + j);
      volume_.MakeFile(stem + "t" + j + ".tmp");
    }
    watcher_->uponSignal(bus::kProgressSignal)
        .onInterface(bus::kJobsInterface)
        .call([this](const std::string& token, std::uint64_t walked,
                     std::uint64_t removed, std::uint64_t failed,
                     bool finished) {
          std::lock_guard lock(mutex_);
          heard_.push_back({token, walked, removed, failed, finished});
        });
    watcher_->finishRegistration();
    watching_->enterEventLoopAsync();
  }
  void TearDown() override { watching_->leaveEventLoop(); }

  std::uint32_t Stop(const std::string& token) {
    std::uint32_t stopped = 0;
    sdbus::createProxy(*caller_, std::string(ServiceName),
                       std::string(kServiceObjectPath))
        ->callMethod(bus::kStopMethod)
        .onInterface(bus::kJobsInterface)
        .withArguments(token)
        .storeResultsTo(stopped);
    return stopped;
  }
  std::vector<Heard> HeardSoFar() {
    std::lock_guard lock(mutex_);
    return heard_;
  }
  // Whether the last signal heard comes to satisfy |last| in good time.
  bool HeardSoon(const std::function<bool(const Heard&)>& last) {
    return PollUntil(
        [&] {
          auto heard = HeardSoFar();
          return !heard.empty() && last(heard.back());
        },
        kPatience);
  }

  testing::TempTree no_services_;
  testing::TestBus bus_{no_services_.path()};
  testing::ExportingDelegate delegate_{
      [] { return std::make_shared<QuillfenRemovalService>(); }};
  InProcessService service_{bus_, &delegate_};
  testing::TempTree volume_;
  std::unique_ptr<sdbus::IConnection> caller_ = bus_.Connect();
  std::unique_ptr<sdbus::IConnection> watching_ = bus_.Connect();
  std::unique_ptr<sdbus::IProxy> watcher_ = sdbus::createProxy(
      *watching_, std::string(ServiceName), std::string(kServiceObjectPath));
  std::mutex mutex_;
  std::vector<Heard> heard_;
};

// Progress and stops go by the request's exchange token: only the caller
// that holds it hears of its removal or stops it; a request without one is
// neither reported nor stopped from outside.
TEST_F(ServiceProgressTest, ProgressIsPacedAndAStopMidwayAnswersWhatWent) {
  // A removal without a token sends no signal: every one heard below is
  // the token's.
  testing::TempTree other;
  other.MakeFile("y.tmp");
  CallRemoveWithFileDict(
      *bus_.Connect(),
      Dictionary{{"volumePath", Value(other.path())},
                 {"fileRemovalArray", Value(Array{Value("*.tmp")})}},
      kPatience);
  EXPECT_FALSE(other.Exists("y.tmp"));

  Dictionary request{{"volumePath", Value(volume_.path())},
                     {"exchangeToken", Value("tok-a")},
                     {"fileRemovalArray",
                      Value(Array{Value("(x)*a*a*a*a*a*c"), Value("*.tmp")})}};
  auto start = std::chrono::steady_clock::now();
  std::future<Dictionary> reply = std::async(std::launch::async, [&] {
    return CallRemoveWithFileDict(*bus_.Connect(), request, kPatience);
  });
  ASSERT_TRUE(HeardSoon([](const Heard& last) { return last.removed >= 30; }));
  // Neither the volume's path nor another token stops it.
  EXPECT_EQ(Stop(volume_.path()) + Stop("tok-b") + Stop(""), 0u);
  EXPECT_EQ(Stop("tok-a"), 1u);
  Dictionary stopped = reply.get();
  auto elapsed = std::chrono::steady_clock::now() - start;

  // The reply lists exactly what is gone; the rest is untouched.
  std::set<std::string> removed = testing::RemovedPaths(stopped);
  for (const std::string& path : removed)
    EXPECT_FALSE(access(path.c_str(), F_OK) == 0) << path;
  // Each folder and its six files, less what is gone.
  EXPECT_EQ(removed.size(), kFolders * 7u - volume_.Listing().size());
  EXPECT_LT(removed.size(), kFolders * 3u) << "the removal was not stopped";
  const Dictionary& errors = *stopped.at("errorDict").AsDictionary();
  ASSERT_TRUE(errors.contains(volume_.path()));
  EXPECT_NE(errors.at(volume_.path()).AsString()->find("stopped before"),
            std::string::npos);

  // The last signal says finished, with the reply's own counts; before it,
  // never more than ten a second.
  ASSERT_TRUE(HeardSoon([](const Heard& last) { return last.finished; }));
  std::vector<Heard> heard = HeardSoFar();
  ASSERT_GE(heard.size(), 2u);
  EXPECT_EQ(heard.back().removed, removed.size());
  EXPECT_EQ(heard.back().failed, errors.size() - 1);  // The stop is no failure.
  EXPECT_GT(heard.back().walked, heard.back().removed);
  EXPECT_LE(static_cast<long long>(heard.size()) - 1, elapsed / 100ms + 1);
  for (std::size_t i = 0; i < heard.size(); ++i) {
    EXPECT_EQ(heard[i].token, "tok-a");
    EXPECT_EQ(heard[i].finished, i + 1 == heard.size());
    EXPECT_GE(heard[i].walked, heard[i > 0 ? i - 1 : 0].walked);
  }
  // The stop ended with the removal it stopped, and harms nothing now.
  EXPECT_EQ(Stop("tok-a"), 0u);
}

}  // namespace
}  // namespace quillfen
