#include "service-bus/undelivered_replies.h"

#include <optional>
#include <utility>

#include "platform/system_log.h"
#include "service-bus/bus_names.h"

namespace quillfen {

UndeliveredReplies::UndeliveredReplies(sd_bus* bus)
    : watch_(WatchDescriptorRefusals(
          bus, [this](std::uint64_t cookie) { OnRefused(cookie); })) {}

void UndeliveredReplies::Expect(const sdbus::MethodCall& call,
                                std::uint64_t reply_cookie,
                                std::string message) {
  const Clock::time_point now = Clock::now();
  Expected entry{call, std::move(message), now};
  std::vector<Expected> expired;
  bool refused_already = false;
  {
    MutexLock lock(mutex_);
    TakeExpired(now, expired);
    if (early_refusals_.erase(reply_cookie) > 0) {
      refused_already = true;
    } else {
      expected_.emplace(reply_cookie, std::move(entry));
    }
  }
  if (refused_already) Answer(entry);
}

void UndeliveredReplies::OnRefused(std::uint64_t cookie) {
  const Clock::time_point now = Clock::now();
  std::optional<Expected> refused;
  std::vector<Expected> expired;
  {
    MutexLock lock(mutex_);
    TakeExpired(now, expired);
    if (auto node = expected_.extract(cookie)) {
      refused.emplace(std::move(node.mapped()));
    } else {
      early_refusals_.emplace(cookie, now);
    }
  }
  if (refused) Answer(*refused);
}

void UndeliveredReplies::TakeExpired(Clock::time_point now,
                                     std::vector<Expected>& expired) {
  for (auto it = expected_.begin(); it != expected_.end();) {
    if (now - it->second.since < kRefusalWindow) {
      ++it;
      continue;
    }
    expired.push_back(std::move(it->second));
    it = expected_.erase(it);
  }
  std::erase_if(early_refusals_, [now](const auto& refusal) {
    return now - refusal.second >= kRefusalWindow;
  });
}

void UndeliveredReplies::Answer(const Expected& expected) {
  SystemLog("QuillfenRemovalService: the bus refused a reply to " +
            expected.call.getSender() + ": " + expected.message);
  try {
    expected.call
        .createErrorReply(sdbus::Error(bus::kErrorFailed, expected.message))
        .send();
  } catch (const sdbus::Error&) {
    // The caller is gone: nobody is left to tell.
  }
}

}  // namespace quillfen
