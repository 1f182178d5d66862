// QuillfenRemovalService: the on-demand removal service. The session bus
// starts it from its activation file at the first call to ServiceName; it
// serves until idle, then leaves the bus. The activation file may pass
// --idle-timeout-ms=N (the build tree's does, to keep tests short); nothing
// else is read from the command line or the environment.
//
// SIGTERM (systemd stopping the unit, or stopping it once it has given its
// name back) and SIGINT end it gently: removals under way stop at their
// next step and their callers hear what went, rather than nothing.
#include <signal.h>

#include <charconv>
#include <string>
#include <string_view>

#include "platform/system_log.h"
#include "removal-service/service_delegate.h"
#include "service-bus/service_listener.h"

namespace {

quillfen::ServiceListener* g_listener = nullptr;

void OnTerminate(int) { g_listener->Terminate(); }

}  // namespace

int main(int argc, char** argv) {
  quillfen::ServiceListener::Options options;
  constexpr std::string_view kIdleOption = "--idle-timeout-ms=";
  for (int i = 1; i < argc; ++i) {
    std::string_view argument = argv[i];
    long long ms = 0;
    if (argument.starts_with(kIdleOption)) {
      std::string_view digits = argument.substr(kIdleOption.size());
      auto [end, error] =
          std::from_chars(digits.data(), digits.data() + digits.size(), ms);
      if (error == std::errc() && end == digits.data() + digits.size() &&
          ms >= 0) {
        options.idle_timeout = std::chrono::milliseconds(ms);
        continue;
      }
    }
    quillfen::SystemLog("QuillfenRemovalService: unknown argument " +
                        std::string(argument));
    return 2;
  }

  quillfen::ServiceDelegate delegate;
  quillfen::ServiceListener listener(options);
  listener.setDelegate(&delegate);
  g_listener = &listener;
  struct sigaction terminate = {};
  terminate.sa_handler = OnTerminate;
  sigemptyset(&terminate.sa_mask);
  terminate.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &terminate, nullptr);
  sigaction(SIGINT, &terminate, nullptr);
  int status = listener.resume();
  // The listener is going: a late signal ends the process as usual.
  signal(SIGTERM, SIG_DFL);
  signal(SIGINT, SIG_DFL);
  return status;
}
