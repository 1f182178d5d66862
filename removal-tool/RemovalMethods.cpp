// AppDelegate's connection to the removal service.

#include "platform/application.h"
#include "platform/assertion.h"
#include "platform/system_log.h"
#include "protocol/bus_string.h"
#include "protocol/identifiers.h"
#include "protocol/removal_keys.h"
#include "protocol/removal_reply.h"
#include "removal-tool/AppDelegate.h"
#include "service-bus/service_interface.h"

namespace quillfen {

// What the main-thread assertion reports: the method, where it is and
// the condition, as fixed values that the log's readers know it by.
constexpr char kConnect[] =
    "-[AppDelegate(RemovalMethods) connectToXPCService]";
constexpr AssertionSite kConnectSite{"RemovalMethods.cpp", 20};
constexpr char kIsMainThread[] = "[NSThread isMainThread]";

void AppDelegate::connectToXPCService() {
  QUILLFEN_ASSERT_AT(Application::isMainThread(), kConnect, kConnectSite,
                     kIsMainThread);
  if (removalServiceConnection()) return;

  auto connection =
      std::make_shared<ServiceClientConnection>(std::string(ServiceName));
  setRemovalServiceConnection(connection);
  connection->setRemoteObjectInterface(ServiceInterface::WithProtocol());
  std::shared_ptr<AppDelegate> self = shared_from_this();
  connection->setInvalidationHandler([self] {
    if (auto current = self->removalServiceConnection()) {
      current->setInvalidationHandler(nullptr);
    }
    Application::shared().post(
        [self] { self->setRemovalServiceConnection(nullptr); });
  });
  connection->resume();
}

void AppDelegate::sendDictToRemovalService(std::optional<Dictionary> dict) {
  std::shared_ptr<AppDelegate> self = shared_from_this();
  Application::shared().post([self, dict = std::move(dict)] {
    Dictionary request = dict.value_or(Dictionary());
    // Whatever the answer, it goes back with the request's exchange token,
    // so that its asker knows it for its own.
    RemovalRequest token_only;
    if (const Value* token = Find(request, kExchangeTokenKey)) {
      token_only.emplace(std::string(kExchangeTokenKey), *token);
    }
    auto reply_with_token = [self, token_only](RemovalReply reply) {
      CarryExchangeToken(token_only, reply);
      self->replyToQuillfen(std::move(reply));
    };
    // A request the bus would shorten or refuse is answered here, just as
    // the engine answers it, rather than sent as something else.
    std::string fault = DictionaryBusFault(request);
    if (!fault.empty()) {
      SystemLog("Error sending the request: " + BusSafeText(fault) + ".");
      reply_with_token(RefusedRequestReply(request, RequestBusRefusal(fault)));
      return;
    }
    try {
      self->connectToXPCService();
      std::shared_ptr<ServiceClientConnection> connection =
          self->removalServiceConnection();
      connection->remoteObjectProxy()->removeWithFileDict(request,
                                                          reply_with_token);
    } catch (const std::exception& e) {
      std::string cause = BusSafeText(e.what());
      SystemLog("Error sending the request: " + cause);
      reply_with_token(RefusedRequestReply(
          request, "The request couldn’t be sent to the removal service: " +
                       cause + "."));
    }
  });
}

void AppDelegate::replyToQuillfen(RemovalReply reply) {
  std::optional<std::string> json = convertDictionaryToJSON(reply);
  // Only the text goes on: a long reply isn't held twice while it is stored.
  reply = RemovalReply();
  sendReplyToQuillfen(std::move(json));
  if (auto current = removalServiceConnection()) current->invalidate();
}

}  // namespace quillfen
