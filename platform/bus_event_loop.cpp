#include "platform/bus_event_loop.h"

#include <poll.h>
#include <sdbus-c++/Error.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "base/error_text.h"

namespace quillfen {

BusEventLoop::BusEventLoop()
    : wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

BusEventLoop::~BusEventLoop() = default;

void BusEventLoop::Post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    tasks_.push_back(std::move(task));
  }
  Wake();
}

void BusEventLoop::Wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] ssize_t n = write(wake_fd_.get(), &one, sizeof one);
}

void BusEventLoop::Quit() {
  quit_ = true;
  Wake();
}

void BusEventLoop::RunPostedTasks() {
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (tasks_.empty()) return;
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

void BusEventLoop::Run(sdbus::IConnection& bus, const BeforeWait& before_wait) {
  if (!wake_fd_) {
    throw sdbus::Error("org.freedesktop.DBus.Error.Failed",
                       std::string("eventfd: ") + SystemErrorText(errno));
  }
  loop_thread_ = std::this_thread::get_id();
  while (!quit_) {
    RunPostedTasks();
    while (bus.processPendingRequest()) {
    }
    if (quit_) break;
    int timeout_ms = before_wait ? before_wait() : -1;
    if (quit_) break;
    // Tasks posted by the hook, or by the messages just processed, run
    // before sleeping.
    {
      std::lock_guard lock(mutex_);
      if (!tasks_.empty()) continue;
    }
    sdbus::IConnection::PollData poll_data = bus.getEventLoopPollData();
    int bus_timeout = poll_data.getPollTimeout();
    if (bus_timeout >= 0 && (timeout_ms < 0 || bus_timeout < timeout_ms)) {
      timeout_ms = bus_timeout;
    }
    pollfd fds[] = {{poll_data.fd, poll_data.events, 0},
                    {wake_fd_.get(), POLLIN, 0}};
    if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR) {
      throw sdbus::Error("org.freedesktop.DBus.Error.Failed",
                         std::string("poll: ") + SystemErrorText(errno));
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      [[maybe_unused]] ssize_t n = read(wake_fd_.get(), &count, sizeof count);
    }
  }
  RunPostedTasks();
  loop_thread_ = std::thread::id();
}

}  // namespace quillfen
