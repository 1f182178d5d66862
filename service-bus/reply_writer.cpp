#include "service-bus/reply_writer.h"

#include <cstddef>
#include <functional>
#include <string>

#include "platform/system_log.h"
#include "protocol/bus_string.h"
#include "service-bus/bus_names.h"
#include "service-bus/dbus_value.h"
#include "service-bus/reply_file.h"
#include "service-bus/sd_bus_access.h"

namespace quillfen {
namespace {

// Answers |call| with |reply| in a sealed file: the bus can't carry it as
// it is. Empty when sent; else why not.
std::string SendReplyAsFile(sdbus::MethodCall& call, RemovalReply reply,
                            std::size_t size, UndeliveredReplies& undelivered) {
  // The dictionary goes once its text is in the file.
  Result<UniqueFd> file = [&] {
    Value whole(std::move(reply));
    return WriteSealedReplyFile(whole);
  }();
  const std::string too_large = "The reply is too large for one bus message (" +
                                MebibytesText(size) + ")";
  if (!file) {
    return too_large + " and can’t be put in a file: " + file.error().message;
  }
  try {
    sdbus::MethodReply message = call.createReply();
    message << DbusDictionary{
        {bus::kReplyFileKey, sdbus::Variant(sdbus::UnixFd(file->get()))}};
    message.send();
    undelivered.Expect(
        call, SentCookie(message),
        BusSafeText(too_large +
                    " and this caller can’t take it as a file descriptor; "
                    "call with descriptor passing enabled, or ask for less."));
    return "";
  } catch (const sdbus::Error& e) {
    // Chiefly a connection that doesn't pass descriptors.
    return too_large + " and this caller can’t take it as a file descriptor (" +
           e.getMessage() + ")";
  }
}

// Answers |call| with |reply|: in its message, in a sealed file when too
// large, or an error saying why neither can go.
void SendReply(sdbus::MethodCall& call, RemovalReply reply,
               UndeliveredReplies& undelivered) {
  std::string cause = DictionaryBusFault(reply);
  if (const std::size_t size = DbusEncodedSize(reply);
      cause.empty() && size > kMaxBusDictionaryBytes) {
    cause = SendReplyAsFile(call, std::move(reply), size, undelivered);
    if (cause.empty()) return;
    SystemLog("QuillfenRemovalService: " + cause + ".");
    ReturnError(call, bus::kErrorFailed, BusSafeText(cause + "."));
    return;
  }
  if (cause.empty()) {
    try {
      sdbus::MethodReply message = call.createReply();
      AppendDbusDictionary(reply, message);
      reply = RemovalReply();  // Its text is in the message now.
      message.send();
      return;
    } catch (const sdbus::Error& e) {
      cause = e.getMessage();
    }
  }
  // The caller hears at once why its reply can't come, rather than
  // waiting on until the service leaves.
  SystemLog("QuillfenRemovalService: a reply can’t be sent: " + cause);
  ReturnError(call, bus::kErrorFailed,
              BusSafeText("The reply can’t be sent: " + cause + "."));
}

}  // namespace

void ReturnError(const sdbus::MethodCall& call, const char* name,
                 const std::string& message) {
  try {
    call.createErrorReply(sdbus::Error(name, message)).send();
  } catch (const sdbus::Error&) {
  }
}

namespace {

// Runs |carry_out| with a block that answers |call| the first time it is
// called. |carry_out| answers why it can't run, or nothing; that reason,
// or an exception thrown before the answer, is the caller's error.
void AnswerOnce(
    sdbus::MethodCall& call, UndeliveredReplies& undelivered,
    const std::function<std::string(
        const QuillfenRemovalServiceProtocol::ReplyBlock&)>& carry_out) {
  bool replied = false;
  QuillfenRemovalServiceProtocol::ReplyBlock send_reply =
      [&](RemovalReply reply) {
        if (replied) return;
        replied = true;
        SendReply(call, std::move(reply), undelivered);
      };
  std::string refusal;
  try {
    refusal = carry_out(send_reply);
  } catch (const std::exception& e) {
    refusal = *e.what() != '\0' ? e.what() : "The removal service failed.";
  }
  if (!replied && !refusal.empty()) {
    ReturnError(call, bus::kErrorFailed, BusSafeText(refusal));
  }
}

}  // namespace

void AnswerRemoval(QuillfenRemovalServiceProtocol& object,
                   const RemovalRequest& request, sdbus::MethodCall& call,
                   RemovalProgress& progress, UndeliveredReplies& undelivered) {
  AnswerOnce(call, undelivered,
             [&](const QuillfenRemovalServiceProtocol::ReplyBlock& send_reply) {
               object.removeReportingProgress(request, send_reply, progress);
               return std::string();
             });
}

void AnswerPreview(QuillfenRemovalServiceProtocol& object,
                   const RemovalRequest& request, sdbus::MethodCall& call,
                   UndeliveredReplies& undelivered) {
  AnswerOnce(
      call, undelivered,
      [&](const QuillfenRemovalServiceProtocol::ReplyBlock& send_reply) {
        return object.previewWithFileDict(request, send_reply)
                   ? std::string()
                   : std::string(
                         "This removal service can’t preview a removal.");
      });
}

Result<BusReply> BusReplyFrom(RemovalReply reply) {
  if (std::string cause = DictionaryBusFault(reply); !cause.empty()) {
    return ErrorMessage("The reply can’t be sent: " + cause);
  }
  const std::size_t size = DbusEncodedSize(reply);
  if (size <= kMaxBusDictionaryBytes) return BusReply{std::move(reply), {}};
  Result<UniqueFd> file = [&] {
    Value whole(std::move(reply));
    return WriteSealedReplyFile(whole);
  }();
  if (!file) {
    return ErrorMessage(
        "The reply is too large for one bus message (" + MebibytesText(size) +
        ") and can’t be put in a file: " + file.error().message);
  }
  return BusReply{{}, std::move(*file)};
}

void AppendBusReply(const BusReply& reply, sdbus::Message& message) {
  if (reply.file) {
    message << DbusDictionary{
        {bus::kReplyFileKey, sdbus::Variant(sdbus::UnixFd(reply.file.get()))}};
  } else {
    AppendDbusDictionary(reply.dictionary, message);
  }
}

}  // namespace quillfen
