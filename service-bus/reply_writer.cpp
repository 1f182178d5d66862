#include "service-bus/reply_writer.h"

#include <cstdio>

#include "protocol/bus_string.h"
#include "service-bus/bus_names.h"
#include "service-bus/dbus_value.h"

namespace quillfen {

void ReturnError(const sdbus::MethodCall& call, const char* name,
                 const std::string& message) {
  try {
    call.createErrorReply(sdbus::Error(name, message)).send();
  } catch (const sdbus::Error&) {
  }
}

void AnswerRemoval(QuillfenRemovalServiceProtocol& object,
                   const RemovalRequest& request, sdbus::MethodCall& call,
                   RemovalProgress& progress) {
  bool replied = false;
  auto send_reply = [&](RemovalReply reply) {
    if (replied) return;
    replied = true;
    std::string cause = DictionaryBusFault(reply);
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
    std::fprintf(stderr, "QuillfenRemovalService: a reply can’t be sent: %s\n",
                 cause.c_str());
    ReturnError(call, bus::kErrorFailed,
                BusSafeText("The reply can’t be sent: " + cause + "."));
  };
  try {
    object.removeReportingProgress(request, send_reply, progress);
  } catch (const std::exception& e) {
    if (!replied) {
      replied = true;
      ReturnError(call, bus::kErrorFailed, BusSafeText(e.what()));
    }
  }
}

}  // namespace quillfen
