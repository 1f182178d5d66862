// The client connection against an in-process service on a private bus.
#include "service-bus/service_client_connection.h"

#include <gtest/gtest.h>

#include <future>
#include <stdexcept>
#include <thread>

#include "protocol/identifiers.h"
#include "testing/in_process_service.h"
#include "testing/support.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::kPatience;
using ::quillfen::testing::TempTree;
using ::quillfen::testing::TestBus;

class EchoService : public QuillfenRemovalServiceProtocol {
 public:
  void removeWithFileDict(const RemovalRequest& request,
                          const ReplyBlock& withReply) override {
    withReply(request);
  }
};

class ServiceClientConnectionTest : public ::testing::Test {
 protected:
  std::shared_ptr<ServiceClientConnection> Connect() {
    auto connection =
        std::make_shared<ServiceClientConnection>(std::string(ServiceName));
    connection->setRemoteObjectInterface(ServiceInterface::WithProtocol());
    connection->setInvalidationHandler([this] {
      ++invalidations_;
      invalidated_.set_value(std::this_thread::get_id());
    });
    connection->resume();
    return connection;
  }
  void StartService() {
    service_ = std::make_unique<testing::InProcessService>(bus_, &delegate_);
  }

  TempTree no_services_;
  TestBus bus_{no_services_.path()};
  testing::ExportingDelegate delegate_{
      [] { return std::make_shared<EchoService>(); }};
  std::unique_ptr<testing::InProcessService> service_;
  std::atomic<int> invalidations_ = 0;
  std::promise<std::thread::id> invalidated_;
};

// Whether |future| is ready in good time.
template <typename T>
bool Soon(const std::future<T>& future) {
  return future.wait_for(kPatience) == std::future_status::ready;
}

TEST_F(ServiceClientConnectionTest, RepliesArriveOnTheConnectionsThread) {
  StartService();
  // Outlives the connection, whose thread sets it.
  std::promise<std::pair<Dictionary, std::thread::id>> replied;
  auto connection = Connect();
  connection->remoteObjectProxy()->removeWithFileDict(
      {{"volumePath", Value("/v")}}, [&](RemovalReply reply) {
        replied.set_value({reply, std::this_thread::get_id()});
      });
  auto replied_future = replied.get_future();
  ASSERT_TRUE(Soon(replied_future)) << "no reply";
  auto [reply, thread] = replied_future.get();
  EXPECT_EQ(reply, (Dictionary{{"volumePath", Value("/v")}}));
  EXPECT_NE(thread, std::this_thread::get_id());

  // Invalidation runs the handler once, on that same thread.
  connection->invalidate();
  connection->invalidate();
  auto invalidated = invalidated_.get_future();
  ASSERT_TRUE(Soon(invalidated)) << "the invalidation handler didn't run";
  EXPECT_EQ(invalidated.get(), thread);
  connection.reset();
  EXPECT_EQ(invalidations_, 1);
}

TEST_F(ServiceClientConnectionTest,
       UnreachableServiceNeverRepliesAndInvalidates) {
  auto connection = Connect();  // Nobody owns the name; nothing to start.
  std::atomic<bool> replied = false;
  connection->remoteObjectProxy()->removeWithFileDict(
      {}, [&](RemovalReply) { replied = true; });
  EXPECT_TRUE(Soon(invalidated_.get_future()));
  EXPECT_FALSE(replied);
  EXPECT_EQ(invalidations_, 1);
}

TEST_F(ServiceClientConnectionTest, ReplyBlockMayDropTheLastReference) {
  StartService();
  auto connection = Connect();
  std::promise<void> done;
  std::shared_ptr<ServiceClientConnection> holder = connection;
  connection->remoteObjectProxy()->removeWithFileDict({}, [&](RemovalReply) {
    holder.reset();  // The last reference goes on the connection's thread.
    done.set_value();
  });
  connection.reset();
  EXPECT_TRUE(Soon(done.get_future()));
  // Going away invalidates it too; the handler still runs, once.
  EXPECT_TRUE(Soon(invalidated_.get_future()));
  EXPECT_EQ(invalidations_, 1);
}

// A reply the service can't send comes back as a D-Bus error: the caller
// hears it as its request's refusal rather than waiting for ever.
TEST_F(ServiceClientConnectionTest, ServiceErrorArrivesAsTheRequestsRefusal) {
  struct OddReply : QuillfenRemovalServiceProtocol {
    void removeWithFileDict(const RemovalRequest& request,
                            const ReplyBlock& withReply) override {
      RemovalReply reply = request;
      reply["pathArray"] = Value(Array{Value("/v/._odd\xef\xbf\xbe")});
      withReply(reply);
    }
  };
  testing::ExportingDelegate odd([] { return std::make_shared<OddReply>(); });
  testing::InProcessService service(bus_, &odd);
  auto connection = Connect();
  std::promise<Dictionary> replied;
  connection->remoteObjectProxy()->removeWithFileDict(
      {{"volumePath", Value("/v")}},
      [&](RemovalReply reply) { replied.set_value(reply); });
  auto future = replied.get_future();
  ASSERT_TRUE(Soon(future));
  Dictionary reply = future.get();
  EXPECT_EQ(reply.at("pathArray"), Value(Array{}));
  const Value& why = reply.at("errorDict").AsDictionary()->at("/v");
  EXPECT_NE(why.AsString()->find("noncharacter"), std::string::npos);

  // A request the bus would cut short is not sent at all.
  using namespace std::string_literals;
  EXPECT_THROW(connection->remoteObjectProxy()->removeWithFileDict(
                   {{"volumePath", Value("/v\0/elsewhere"s)}},
                   [](RemovalReply) { ADD_FAILURE() << "it was sent"; }),
               std::invalid_argument);
  connection->invalidate();
}

}  // namespace
}  // namespace quillfen
