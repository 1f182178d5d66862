#include "service-bus/reply_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include "service-bus/bus_names.h"
#include "service-bus/dbus_value.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

const RemovalReply kReply{
    {"pathArray", Value(Array{Value("/m/._a"), Value("/m/é \"q\"")})},
    {"errorDict", Value(Dictionary{{"/m/x", Value("“x” couldn’t…")}})},
    {"showReadMe", Value(true)},
    {"volumePath", Value("/m")}};

// A message as the bus delivers it: made, sealed and read from the start.
sdbus::MethodCall Delivered(sdbus::IProxy& proxy,
                            const std::function<void(sdbus::Message&)>& fill) {
  sdbus::MethodCall message = proxy.createMethodCall("org.quillfen.A", "B");
  fill(message);
  message.seal();
  message.rewind(true);
  return message;
}

TEST(ReplyFileTest, TheToolReadsTheReplyInTheMessageOrInItsFile) {
  Result<UniqueFd> file = WriteSealedReplyFile(Value(kReply));
  ASSERT_TRUE(file) << file.error().message;
  // Nobody can change it any more, the service included.
  EXPECT_EQ(write(file->get(), "x", 1), -1);
  EXPECT_NE(ftruncate(file->get(), 0), 0);

  testing::TestBus bus;
  std::unique_ptr<sdbus::IConnection> connection = bus.Connect();
  std::unique_ptr<sdbus::IProxy> proxy =
      sdbus::createProxy(*connection, "org.quillfen.Unused", "/");
  sdbus::MethodCall by_file = Delivered(*proxy, [&](sdbus::Message& message) {
    message << DbusDictionary{
        {bus::kReplyFileKey, sdbus::Variant(sdbus::UnixFd(file->get()))}};
  });
  Result<RemovalReply> read = ReplyFromMessage(by_file);
  ASSERT_TRUE(read) << read.error().message;
  EXPECT_EQ(*read, kReply);

  sdbus::MethodCall in_place = Delivered(*proxy, [&](sdbus::Message& message) {
    AppendDbusDictionary(kReply, message);
  });
  read = ReplyFromMessage(in_place);
  ASSERT_TRUE(read) << read.error().message;
  EXPECT_EQ(*read, kReply);
}

// A file the sender could still shrink or rewrite while it is read is
// refused: shrinking a mapped file would kill the reader.
TEST(ReplyFileTest, AFileNotSealedIsRefused) {
  UniqueFd file(memfd_create("reply", MFD_CLOEXEC | MFD_ALLOW_SEALING));
  ASSERT_TRUE(file);
  const std::string text = R"({"pathArray":[]})";
  ASSERT_EQ(write(file.get(), text.data(), text.size()),
            static_cast<ssize_t>(text.size()));
  Result<RemovalReply> read = ReadSealedReplyFile(file.get());
  ASSERT_FALSE(read);
  EXPECT_EQ(read.error().message, "its file is not sealed against change");
  ASSERT_EQ(fcntl(file.get(), F_ADD_SEALS, F_SEAL_WRITE | F_SEAL_SHRINK), 0);
  read = ReadSealedReplyFile(file.get());
  ASSERT_TRUE(read) << read.error().message;
  EXPECT_EQ(*read, (RemovalReply{{"pathArray", Value(Array{})}}));
}

}  // namespace
}  // namespace quillfen
