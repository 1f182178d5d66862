#include "removal-tool/AppDelegate.h"

#include "platform/application.h"
#include "platform/distributed_notification_center.h"
#include "platform/shared_suite.h"
#include "platform/system_log.h"
#include "protocol/identifiers.h"
#include "protocol/json_form.h"
#include "protocol/request_text.h"

namespace quillfen {
namespace {

// Flushes |suite|; a failure is worth a line, since Quillfen then won't
// find what it waits for.
void Synchronize(SharedSuite& suite) {
  if (!suite.synchronize()) {
    SystemLog("Error writing the shared domain: " + suite.lastError());
  }
}

}  // namespace

std::string ToolShortVersionString() { return QUILLFEN_VERSION; }

void AppDelegate::applicationDidFinishLaunching() {
  updateVersion();
  checkForMessageFromQuillfen();
}

void AppDelegate::applicationWillTerminate() {}

bool AppDelegate::applicationSupportsSecureRestorableState() { return true; }

void AppDelegate::updateVersion() {
  SharedSuite suite(SharedSuiteName);
  suite.setObject(Value(ToolShortVersionString()), kToolVersionKey);
  Synchronize(suite);
}

void AppDelegate::checkForMessageFromQuillfen() {
  SharedSuite suite(SharedSuiteName);
  // The request is consumed before it is acted on, read and removed in one
  // step under the domain's lock: of several launches, one gets it.
  std::optional<SharedSuite::Taken> taken = suite.takeObjectForKey(kMessageKey);
  if (!taken) {
    // Nothing was taken, so nothing is carried out; waiting on would only
    // leave a process behind.
    SystemLog("Couldn't take the message from the shared domain: " +
              suite.lastError());
    std::shared_ptr<AppDelegate> self = shared_from_this();
    Application::shared().post(
        [self] { Application::shared().terminate(self.get()); });
    return;
  }
  if (!taken->found) return;
  const std::optional<Value>& message = taken->value;
  std::optional<Dictionary> request;
  if (message && message->AsString()) {
    request = convertJSONToDictionary(*message->AsString());
  } else if (message) {
    SystemLog("Error converting JSON to dictionary: the message is " +
              std::string(DescribeType(message->type())) + ", not JSON text.");
  } else {
    SystemLog(
        "Error converting JSON to dictionary: the message is not JSON "
        "text.");
  }
  sendDictToRemovalService(std::move(request));
}

void AppDelegate::sendReplyToQuillfen(std::optional<std::string> json) {
  SharedSuite suite(SharedSuiteName);
  suite.setObject(
      json ? std::optional<Value>(Value(std::move(*json))) : std::nullopt,
      kReplyKey);
  Synchronize(suite);
  DistributedNotificationCenter::defaultCenter().postNotificationName(
      kReplySentNotification, ToolIdentifier, /*deliverImmediately=*/true);
  std::shared_ptr<AppDelegate> self = shared_from_this();
  Application::shared().post(
      [self] { Application::shared().terminate(self.get()); });
}

std::optional<Dictionary> AppDelegate::convertJSONToDictionary(
    const std::string& text) {
  Result<RemovalRequest> request = RequestFromJsonText(text);
  if (request) return std::move(*request);
  SystemLog("Error converting JSON to dictionary: " + request.error().message);
  return std::nullopt;
}

std::optional<std::string> AppDelegate::convertDictionaryToJSON(
    const Dictionary& dictionary) {
  Result<std::string> text = ExactJsonTextFromDictionary(dictionary);
  if (!text) {
    SystemLog("Error converting dictionary to JSON: " + text.error().message);
    return std::nullopt;
  }
  return std::move(*text);
}

}  // namespace quillfen
