#include "platform/application.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace quillfen {

Application& Application::shared() {
  static Application* application = new Application;
  return *application;
}

bool Application::isMainThread() {
  return static_cast<pid_t>(syscall(SYS_gettid)) == getpid();
}

void Application::setDelegate(std::shared_ptr<ApplicationDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

std::shared_ptr<ApplicationDelegate> Application::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

int Application::run() {
  if (auto d = delegate()) d->applicationDidFinishLaunching();
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] { return terminating_ || !queue_.empty(); });
      if (terminating_) break;
      task = std::move(queue_.front());
      queue_.pop_front();
    }
    task();
  }
  std::shared_ptr<ApplicationDelegate> d;
  {
    std::lock_guard lock(mutex_);
    queue_.clear();
    d = std::move(delegate_);
  }
  if (d) d->applicationWillTerminate();
  return 0;
}

void Application::post(std::function<void()> task) {
  {
    std::lock_guard lock(mutex_);
    if (terminating_) return;
    queue_.push_back(std::move(task));
  }
  wake_.notify_one();
}

void Application::terminate(const void* /*sender*/) {
  {
    std::lock_guard lock(mutex_);
    terminating_ = true;
  }
  wake_.notify_one();
}

int ApplicationMain(int /*argc*/, char** /*argv*/,
                    const std::function<std::shared_ptr<ApplicationDelegate>()>&
                        make_delegate) {
  Application& application = Application::shared();
  application.setDelegate(make_delegate());
  return application.run();
}

}  // namespace quillfen
