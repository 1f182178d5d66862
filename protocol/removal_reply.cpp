#include "protocol/removal_reply.h"

#include <utility>

#include "protocol/removal_keys.h"

namespace quillfen {

RemovalReply EmptyRemovalReply(Value volume_path) {
  RemovalReply reply;
  reply.emplace(kShowReadMeKey, Value(false));
  reply.emplace(kVolumePathKey, std::move(volume_path));
  reply.emplace(kPathArrayKey, Value(Array()));
  reply.emplace(kErrorDictKey, Value(Dictionary()));
  return reply;
}

RemovalReply RefusedRequestReply(const RemovalRequest& request,
                                 std::string why) {
  const Value* volume = Find(request, kVolumePathKey);
  if (volume == nullptr || volume->AsString() == nullptr) {
    return EmptyRemovalReply();
  }
  const std::string& volume_path = *volume->AsString();
  RemovalReply reply = EmptyRemovalReply(Value(volume_path));
  reply[std::string(kErrorDictKey)] =
      Value(Dictionary{{volume_path, Value(std::move(why))}});
  return reply;
}

std::string ExchangeToken(const RemovalRequest& request) {
  const Value* token = Find(request, kExchangeTokenKey);
  const std::string* text = token != nullptr ? token->AsString() : nullptr;
  return text != nullptr ? *text : std::string();
}

void CarryExchangeToken(const RemovalRequest& request, RemovalReply& reply) {
  const Value* token = Find(request, kExchangeTokenKey);
  if (token != nullptr && token->AsString() != nullptr) {
    reply[std::string(kExchangeTokenKey)] = *token;
  }
}

}  // namespace quillfen
