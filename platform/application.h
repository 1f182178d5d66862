// Application: the process's application loop. The main thread serves a
// queue of tasks (the main queue) until the application is asked to
// terminate; any thread may post to it. The delegate hears when launching
// has finished and when the application is about to terminate, both on the
// main thread.
//
// post() and terminate() are safe from any thread; run() belongs to the
// main thread.
#ifndef QUILLFEN_PLATFORM_APPLICATION_H_
#define QUILLFEN_PLATFORM_APPLICATION_H_

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace quillfen {

class ApplicationDelegate {
 public:
  virtual ~ApplicationDelegate() = default;
  virtual void applicationDidFinishLaunching() {}
  virtual void applicationWillTerminate() {}
  virtual bool applicationSupportsSecureRestorableState() { return false; }
};

class Application {
 public:
  static Application& shared();
  // Whether the caller runs on the process's main thread.
  static bool isMainThread();

  void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);
  std::shared_ptr<ApplicationDelegate> delegate() const;

  // Tells the delegate that launching has finished, then serves the main
  // queue until terminate(); tells the delegate it will terminate, lets go
  // of it, and answers 0.
  int run();

  // Queues |task| on the main queue.
  void post(std::function<void()> task);
  // Ends run() once the task under way is done; tasks still queued are
  // dropped. |sender| is who asked, for the record.
  void terminate(const void* sender);

 private:
  Application() = default;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> queue_;
  bool terminating_ = false;
  std::shared_ptr<ApplicationDelegate> delegate_;
};

// The process entry's whole work: makes the application's delegate with
// |make_delegate| (what the interface description would create) and runs
// the application loop. Answers the process's exit status.
int ApplicationMain(
    int argc, char** argv,
    const std::function<std::shared_ptr<ApplicationDelegate>()>& make_delegate);

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_APPLICATION_H_
