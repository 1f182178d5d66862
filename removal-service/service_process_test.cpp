// The real service, started by a private bus from the build tree's
// activation file (which sets a 100 ms idle period).
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <future>
#include <random>

#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "service-bus/bus_names.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

using ::quillfen::testing::CallRemoveWithFileDict;
using ::quillfen::testing::OwnerPid;
using ::quillfen::testing::TempTree;
using ::quillfen::testing::TestBus;

const std::string kServiceName(ServiceName);

class ServiceProcessTest : public ::testing::Test {
 protected:
  TestBus bus_;
  TempTree volume_;
};

TEST_F(ServiceProcessTest, StandardToolsCanCallIt) {
  volume_.MakeFile("._a");
  volume_.MakeFile("b.tmp");
  testing::Program busctl(
      "/usr/bin/busctl",
      testing::ProgramSetup(
          {"--address=" + bus_.address(), "--json=short", "call", kServiceName,
           std::string(kServiceObjectPath), bus::kInterface, bus::kRemoveMethod,
           bus::kRemoveInSignature, "2", "volumePath", "s", volume_.path(),
           "appleDouble", "b", "true"}));
  ASSERT_TRUE(busctl.WaitFor(testing::kPatience)) << busctl.err();
  EXPECT_NE(busctl.out().find("\"pathArray\":{\"type\":\"as\",\"data\":[\"" +
                              volume_.PathOf("._a") + "\"]}"),
            std::string::npos)
      << busctl.out() << busctl.err();
  EXPECT_EQ(volume_.Listing(), std::vector<std::string>{"b.tmp"});
}

TEST_F(ServiceProcessTest, WrongSignatureOrValueTypeIsADbusError) {
  auto client = bus_.Connect();
  auto proxy = sdbus::createProxy(*client, kServiceName,
                                  std::string(kServiceObjectPath));
  try {
    proxy->callMethod(bus::kRemoveMethod)
        .onInterface(bus::kInterface)
        .withArguments(std::string("/tmp"));
    ADD_FAILURE() << "a string was accepted as a request";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), bus::kErrorInvalidArgs);
  }
  try {
    CallRemoveWithFileDict(
        *client, DbusDictionary{{"volumePath", sdbus::Variant(volume_.path())},
                                {"fileKeepArray",
                                 sdbus::Variant(sdbus::ObjectPath("/x"))}});
    ADD_FAILURE() << "an object path was accepted as a keep list";
  } catch (const sdbus::Error& e) {
    EXPECT_EQ(e.getName(), bus::kErrorInvalidArgs);
    EXPECT_NE(e.getMessage().find("fileKeepArray"), std::string::npos);
  }
}

// A keep list sent as typed numbers, reals or dictionaries, as a dynamic
// language sends a list of them, gets the reply a JSON request with the
// same list gets (its "av" form), and nothing is removed.
TEST_F(ServiceProcessTest, KeepListsOfOtherTypesGetTheRefusalReply) {
  volume_.MakeFile("a.tmp");
  auto client = bus_.Connect();
  auto refusal_of = [&](const sdbus::Variant& keep, const Value& as_json) {
    DbusDictionary typed{
        {"volumePath", sdbus::Variant(volume_.path())},
        {"extensionsArray", sdbus::Variant(std::vector<std::string>{"tmp"})},
        {"fileKeepArray", keep}};
    Dictionary expected = CallRemoveWithFileDict(
        *client, Dictionary{{"volumePath", Value(volume_.path())},
                            {"extensionsArray", Value(Array{Value("tmp")})},
                            {"fileKeepArray", as_json}});
    ASSERT_EQ(expected.at("errorDict").AsDictionary()->size(), 1u);
    Result<Dictionary> reply =
        DictionaryFromDbus(CallRemoveWithFileDict(*client, typed));
    ASSERT_TRUE(reply) << reply.error().message;
    EXPECT_EQ(*reply, expected) << keep.peekValueType();
  };
  refusal_of(sdbus::Variant(std::vector<std::int32_t>{1, 2}),
             Value(Array{Value(1), Value(2)}));
  refusal_of(sdbus::Variant(std::vector<DbusDictionary>{
                 {{"name", sdbus::Variant(std::string("a.tmp"))}}}),
             Value(Array{Value(Dictionary{{"name", Value("a.tmp")}})}));
  EXPECT_EQ(volume_.Listing(), std::vector<std::string>{"a.tmp"});
}

TEST_F(ServiceProcessTest, IdleStopAndReactivationLoseNoCall) {
  auto client = bus_.Connect();
  Dictionary request{{"volumePath", Value(volume_.path())}};
  EXPECT_LT(OwnerPid(*client, kServiceName), 0);
  CallRemoveWithFileDict(*client, request);  // Activates it.
  pid_t first = OwnerPid(*client, kServiceName);
  ASSERT_GT(first, 0);
  EXPECT_TRUE(testing::PollUntil(
      [&] {
        return OwnerPid(*client, kServiceName) < 0 &&
               testing::ProcessGone(first);
      },
      std::chrono::seconds(10)))
      << "the idle service did not exit";
  CallRemoveWithFileDict(*client, request);
  EXPECT_GT(OwnerPid(*client, kServiceName), 0);

  // Callers racing the idle stop, around the 100 ms idle period.
  auto caller = [&](int seed) {
    std::mt19937 random(static_cast<unsigned>(seed));
    auto connection = bus_.Connect();
    int answered = 0;
    for (int i = 0; i < 15; ++i) {
      std::this_thread::sleep_for(
          std::chrono::milliseconds(60 + random() % 80));
      Dictionary reply =
          CallRemoveWithFileDict(*connection, request, testing::kPatience);
      if (reply.at("volumePath") == Value(volume_.path())) ++answered;
    }
    return answered;
  };
  std::vector<std::future<int>> callers;
  for (int seed = 1; seed <= 4; ++seed) {
    callers.push_back(std::async(std::launch::async, caller, seed));
  }
  for (auto& answered : callers) {
    ASSERT_EQ(answered.wait_for(testing::kPatience), std::future_status::ready)
        << "a caller is still waiting";
    EXPECT_EQ(answered.get(), 15);
  }
}

// Whether |service|, started by hand, comes to own the service's name on
// |bus| in good time.
bool OwnsTheNameSoon(const TestBus& bus, const testing::Program& service) {
  auto client = bus.Connect();
  return testing::PollUntil(
      [&] { return OwnerPid(*client, kServiceName) == service.pid(); },
      testing::kPatience);
}

// At the session's end the bus goes away under the running service, its
// daemon ending or killed: the service leaves quietly and successfully, as
// a program whose work is simply over.
TEST(ServiceEndTest, TheBusGoingAwayEndsItQuietly) {
  for (int signal : {SIGTERM, SIGKILL}) {
    TestBus bus;
    testing::Program service(
        QUILLFEN_SERVICE_PATH,
        testing::ProgramSetup({"--idle-timeout-ms=60000"}));
    ASSERT_TRUE(OwnsTheNameSoon(bus, service)) << service.err();
    ASSERT_EQ(kill(bus.pid(), signal), 0);
    ASSERT_TRUE(service.WaitFor(testing::kPatience)) << strsignal(signal);
    EXPECT_EQ(service.exit_status(), 0) << strsignal(signal);
    EXPECT_EQ(service.err(), "") << strsignal(signal);
  }
}

// SIGTERM, as systemd sends once the service gives its name back or when
// its unit is stopped, ends a removal under way at its next step: the
// caller hears what went, and the service exits successfully.
TEST(ServiceEndTest, SigtermStopsTheRemovalAndItsCallerHearsWhatWent) {
  TestBus bus;
  TempTree volume;
  // Every folder holds a name a wildcard entry can't settle in its budget:
  // the walk takes seconds on any disk.
  constexpr int kFolders = 40;
  for (int i = 0; i < kFolders; ++i) {
    std::string folder = "d" + std::to_string(100 + i) + "/";
    volume.MakeFile(folder + "x" + std::string(240, 'a'));
    volume.MakeFile(folder + "t.tmp");
  }
  testing::Program service(QUILLFEN_SERVICE_PATH,
                           testing::ProgramSetup({"--idle-timeout-ms=60000"}));
  ASSERT_TRUE(OwnsTheNameSoon(bus, service)) << service.err();
  Dictionary request{{"volumePath", Value(volume.path())},
                     {"fileRemovalArray",
                      Value(Array{Value("(x)*a*a*a*a*a*c"), Value("*.tmp")})}};
  std::future<Dictionary> reply = std::async(std::launch::async, [&] {
    return CallRemoveWithFileDict(*bus.Connect(), request, testing::kPatience);
  });
  auto tmp_left = [&] {
    int left = 0;
    for (int i = 0; i < kFolders; ++i) {
      left += std::filesystem::exists(
          volume.PathOf("d" + std::to_string(100 + i) + "/t.tmp"));
    }
    return left;
  };
  ASSERT_TRUE(testing::PollUntil([&] { return tmp_left() < kFolders; },
                                 testing::kPatience));
  ASSERT_EQ(kill(service.pid(), SIGTERM), 0);
  ASSERT_EQ(reply.wait_for(testing::kPatience), std::future_status::ready);
  Dictionary stopped = reply.get();
  const Dictionary& errors = *stopped.at("errorDict").AsDictionary();
  ASSERT_TRUE(errors.contains(volume.path()))
      << JsonTextFromValue(Value(stopped));
  EXPECT_NE(errors.at(volume.path()).AsString()->find("stopped"),
            std::string::npos);
  // What the reply lists is exactly what went.
  EXPECT_EQ(testing::RemovedPaths(stopped).size(),
            static_cast<std::size_t>(kFolders - tmp_left()));
  EXPECT_GT(tmp_left(), 0) << "the removal ran to its end";
  ASSERT_TRUE(service.WaitFor(testing::kPatience));
  EXPECT_EQ(service.exit_status(), 0) << service.err();
}

}  // namespace
}  // namespace quillfen
