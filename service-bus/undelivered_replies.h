// UndeliveredReplies: calls whose reply went out carrying a descriptor,
// which the bus daemon may yet refuse to forward because the caller's
// connection takes no descriptors. The daemon then drops the reply and
// answers the service, not the caller, with an error naming the reply's
// cookie; the caller would wait on until its own time limit. When that
// error comes, the call is answered once more, with an error saying why,
// and a line goes to the system log. (The daemon counts the refused reply
// as the call's answer, so the second goes as an unrequested reply: the
// session bus's policy lets it through.) A call is remembered for
// kRefusalWindow after its reply went, far longer than the daemon takes to
// refuse it, then forgotten.
//
// Expect runs on any thread (a peer's worker); refusals are handled on the
// connection's thread while the bus library holds its lock. Lock order:
// the bus library's lock, then mutex_; a call is never copied, answered or
// dropped while mutex_ is held, as each takes the library's lock.
#ifndef QUILLFEN_SERVICE_BUS_UNDELIVERED_REPLIES_H_
#define QUILLFEN_SERVICE_BUS_UNDELIVERED_REPLIES_H_

#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "base/mutex.h"
#include "service-bus/sd_bus_access.h"

namespace quillfen {

class UndeliveredReplies {
 public:
  static constexpr std::chrono::minutes kRefusalWindow{1};

  // Watches |bus|, the connection's sd_bus (sd_bus_access.h). Made on the
  // connection's thread, and goes there or once it stopped. Throws
  // sdbus::Error when sd-bus refuses the watch.
  explicit UndeliveredReplies(sd_bus* bus);
  UndeliveredReplies(const UndeliveredReplies&) = delete;
  UndeliveredReplies& operator=(const UndeliveredReplies&) = delete;

  // |reply_cookie| (SentCookie) is the reply just sent to |call| with a
  // descriptor in it; should the daemon refuse it, |call| is answered with
  // the error Failed and |message|, as the interface's description
  // promises a caller that takes no descriptors.
  void Expect(const sdbus::MethodCall& call, std::uint64_t reply_cookie,
              std::string message) QUILLFEN_EXCLUDES(mutex_);

 private:
  using Clock = std::chrono::steady_clock;
  struct Expected {
    sdbus::MethodCall call;
    std::string message;
    Clock::time_point since;
  };

  void OnRefused(std::uint64_t cookie) QUILLFEN_EXCLUDES(mutex_);
  // Moves what is past the window into |expired|, to be dropped once
  // mutex_ is released.
  void TakeExpired(Clock::time_point now, std::vector<Expected>& expired)
      QUILLFEN_REQUIRES(mutex_);
  static void Answer(const Expected& expected);

  Mutex mutex_;
  std::map<std::uint64_t, Expected> expected_ QUILLFEN_GUARDED_BY(mutex_);
  // Refusals that came before their Expect: the daemon can answer before
  // the reply's sender has returned from sending it.
  std::map<std::uint64_t, Clock::time_point> early_refusals_
      QUILLFEN_GUARDED_BY(mutex_);
  // Last, so that it goes first: no refusal arrives into a half-gone
  // object.
  BusSlot watch_;
};

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_UNDELIVERED_REPLIES_H_
