// AppDelegate's connection to the removal service. The main-thread
// assertion below reports this file and its line: keep it on line 20.

#include <memory>
#include <utility>

#include "platform/application.h"
#include "platform/assertion.h"
#include "protocol/identifiers.h"
#include "protocol/service_interface.h"
#include "removal-tool/AppDelegate.h"

namespace quillfen {

constexpr char kConnect[] =
    "-[AppDelegate(RemovalMethods) connectToXPCService]";
constexpr char kIsMainThread[] = "[NSThread isMainThread]";

void AppDelegate::connectToXPCService() {
  QUILLFEN_ASSERT(Application::isMainThread(), kConnect, kIsMainThread);
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
    self->connectToXPCService();
    std::shared_ptr<ServiceClientConnection> connection =
        self->removalServiceConnection();
    connection->remoteObjectProxy()->removeWithFileDict(
        dict.value_or(Dictionary()), [self](RemovalReply reply) {
          std::optional<std::string> json =
              self->convertDictionaryToJSON(reply);
          self->sendReplyToQuillfen(json);
          if (auto current = self->removalServiceConnection()) {
            current->invalidate();
          }
        });
  });
}

}  // namespace quillfen
