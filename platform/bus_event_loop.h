// BusEventLoop: serves one bus connection on one thread. It reads and
// dispatches the connection's messages and runs the tasks that other
// threads post to it, so that everything touching the connection can
// happen on that one thread. Before each wait a hook may do its own checks
// and bound the wait, which is how timers are made.
//
// Post(), Wake() and Quit() may be called from any thread; Run() from the
// loop's own thread, once at a time.
#ifndef QUILLFEN_PLATFORM_BUS_EVENT_LOOP_H_
#define QUILLFEN_PLATFORM_BUS_EVENT_LOOP_H_

#include <sdbus-c++/IConnection.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/unique_fd.h"

namespace quillfen {

class BusEventLoop {
 public:
  // Answers how long at most to wait, in milliseconds (-1: no limit).
  using BeforeWait = std::function<int()>;

  BusEventLoop();
  ~BusEventLoop();
  BusEventLoop(const BusEventLoop&) = delete;
  BusEventLoop& operator=(const BusEventLoop&) = delete;

  // Runs |task| on the loop's thread, after what is already queued.
  void Post(std::function<void()> task);
  // Makes the loop look again: its hook runs before it waits again.
  void Wake();
  // Makes Run() return once the current step is done.
  void Quit();

  // Serves |bus| and the posted tasks until Quit(). Throws sdbus::Error
  // when the bus fails.
  void Run(sdbus::IConnection& bus, const BeforeWait& before_wait = nullptr);

  bool IsLoopThread() const {
    return loop_thread_ == std::this_thread::get_id();
  }

 private:
  void RunPostedTasks();

  UniqueFd wake_fd_;
  std::atomic<bool> quit_ = false;
  std::atomic<std::thread::id> loop_thread_;
  std::mutex mutex_;  // Guards tasks_.
  std::deque<std::function<void()>> tasks_;
};

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_BUS_EVENT_LOOP_H_
