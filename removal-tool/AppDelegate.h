// AppDelegate: the removal tool's whole behaviour. At launch it publishes
// the tool's version in the shared domain, takes Quillfen's request out of
// it, and hands the request to the removal service; when the reply comes
// it stores it in the shared domain, tells Quillfen with a notification and
// ends the application. The connection methods live in RemovalMethods.cpp.
//
// Launch-time methods run on the main thread; the reply is handled on the
// service connection's thread. removalServiceConnection is atomic and is
// the only owner of the connection.
#ifndef QUILLFEN_REMOVAL_TOOL_APP_DELEGATE_H_
#define QUILLFEN_REMOVAL_TOOL_APP_DELEGATE_H_

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "platform/application.h"
#include "protocol/value.h"
#include "service-bus/service_client_connection.h"

namespace quillfen {

class AppDelegate : public ApplicationDelegate,
                    public std::enable_shared_from_this<AppDelegate> {
 public:
  void applicationDidFinishLaunching() override;
  void applicationWillTerminate() override;
  bool applicationSupportsSecureRestorableState() override;

  // Writes the tool's short version under "toolVersion" and flushes.
  void updateVersion();
  // Takes "message" out of the shared domain (read, removed and flushed
  // under its lock before anything else happens) and sends its request to
  // the service. When the domain can't be locked or written it takes
  // nothing, logs one line and asks the application to terminate.
  void checkForMessageFromQuillfen();
  // Stores |json| under "reply" (nothing removes it), flushes, posts the
  // reply notification and asks the application to terminate.
  void sendReplyToQuillfen(std::optional<std::string> json);
  // The request in |text|, or nothing (with one log line) when the text is
  // not JSON or its top level is not an object.
  std::optional<Dictionary> convertJSONToDictionary(const std::string& text);
  // Compact JSON text of |dictionary|, or nothing (with one log line).
  std::optional<std::string> convertDictionaryToJSON(
      const Dictionary& dictionary);

  // RemovalMethods.cpp. Main thread only (a fatal assertion): opens the
  // connection to the service unless there is one.
  void connectToXPCService();
  // Sends |dict| (nothing travels as an empty request) from the main queue.
  // A request that can't be sent whole, or at all, is answered on the spot
  // with its refusal, after one log line.
  void sendDictToRemovalService(std::optional<Dictionary> dict);
  // Stores |reply| as JSON, tells Quillfen, quits and lets the connection
  // go: what follows any reply, whichever thread it arrives on.
  void replyToQuillfen(RemovalReply reply);

  std::shared_ptr<ServiceClientConnection> removalServiceConnection() const {
    return removal_service_connection_.load();
  }
  void setRemovalServiceConnection(
      std::shared_ptr<ServiceClientConnection> connection) {
    removal_service_connection_.store(std::move(connection));
  }

 private:
  std::atomic<std::shared_ptr<ServiceClientConnection>>
      removal_service_connection_;
};

// The tool's short version: the project's version.
std::string ToolShortVersionString();

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_TOOL_APP_DELEGATE_H_
