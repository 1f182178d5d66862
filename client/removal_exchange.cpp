#include "client/removal_exchange.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "client/exchange_bus.h"
#include "client/exchange_state.h"
#include "client/tool_process.h"
#include "platform/json_object_text.h"
#include "platform/shared_suite.h"
#include "platform/shared_suite_exchange_turn.h"
#include "protocol/identifiers.h"
#include "protocol/removal_keys.h"

namespace quillfen {
namespace {

using Clock = ExchangeState::Clock;
using Step = ExchangeState::Step;
using namespace std::chrono_literals;

std::string ExecutableDir() {
  std::error_code ignored;
  return std::filesystem::read_symlink("/proc/self/exe", ignored)
      .parent_path()
      .string();
}

// Leaves the request in the shared domain, with no stale reply to mistake.
Result<void> LeaveRequest(const std::string& request_json) {
  SharedSuite suite(SharedSuiteName);
  suite.setObject(Value(request_json), kMessageKey);
  suite.removeObjectForKey(kReplyKey);
  if (!suite.synchronize()) {
    return ErrorMessage("can't leave the request: " + suite.lastError());
  }
  return {};
}

// Takes our message back out when the tool never did, so that a later
// launch doesn't act on a request whose asker has given up.
void WithdrawMessage(const std::string& request_json) {
  SharedSuite suite(SharedSuiteName);
  std::optional<Value> message = suite.objectForKey(kMessageKey);
  if (message && message->AsString() && *message->AsString() == request_json) {
    suite.removeObjectForKey(kMessageKey);
    suite.synchronize();
  }
}

// Tells |state| what the bus, the tool and the clock say until it answers
// other than "wait"; that answer.
Step AwaitReply(ExchangeBus& bus, ToolProcess& tool, ExchangeState& state,
                const ExchangeSettings& settings) {
  for (;;) {
    if (Result<void> read = bus.ProcessPending(); !read) {
      return state.BusFailed(read.error().message);
    }
    Clock::time_point now = Clock::now();
    if (std::optional<int> status = tool.PollExit()) {
      state.ToolExited(*status, now);
    }
    if (state.WantsToolActivity()) {
      state.ToolActivitySampled(SampleTool(tool.pid()));
    }
    Step step = state.Next(now);
    if (step.kind == Step::Kind::kAskServiceToStop) {
      if (std::optional<std::uint32_t> stopped =
              bus.AskServiceToStop(settings.token, step.until)) {
        state.StopAnswered(*stopped);
      } else {
        state.StopUnanswered(Clock::now());
      }
      continue;
    }
    if (step.kind != Step::Kind::kWait) return step;
    if (settings.progress) {
      settings.progress({step.elapsed, step.counts, step.stopping});
    }
    if (Result<void> waited =
            bus.Wait(step.until, settings.interrupt_fd, state);
        !waited) {
      return state.BusFailed(waited.error().message);
    }
  }
}

// Whether the reply text |reply| is the one of the request that carried
// |token|: another program may have used the shared domain meanwhile.
bool IsReplyOf(const std::string& reply, const std::string& token) {
  Result<JsonObjectText> object = JsonObjectText::Parse(reply);
  if (!object) return false;
  std::optional<std::string_view> quoted = object->Find(kExchangeTokenKey);
  if (!quoted) return false;
  return JsonObjectText::DecodeString(*quoted) == token;
}

// The reply the tool stored.
Result<std::string> ReadStoredReply() {
  std::optional<Value> reply =
      SharedSuite(SharedSuiteName).objectForKey(kReplyKey);
  if (!reply || !reply->AsString()) {
    return ErrorMessage("the removal tool replied but stored no reply");
  }
  return std::move(*reply->AsString());
}

}  // namespace

std::string LocateRemovalTool() {
  std::string dir = ExecutableDir();
  std::string installed = dir + "/../libexec/quillfen/QuillfenRemovalTool";
  if (access(installed.c_str(), X_OK) == 0) return installed;
  return dir + "/../removal-tool/QuillfenRemovalTool";  // The build tree.
}

std::string LocateServiceDir() {
  // Installed and built alike: <prefix>/bin and build/client both sit one
  // level below the folder that holds share/dbus-1/services.
  return ExecutableDir() + "/../share/dbus-1/services";
}

ExchangeOutcome RunRemovalExchange(const std::string& request_json,
                                   const ExchangeSettings& settings) {
  auto failed = [](const Error& error) { return ExchangeOutcome{error}; };
  ExchangeState state(settings.timeout);  // Outlives the bus's handlers.
  Result<SharedSuiteExchangeTurn> turn =
      SharedSuiteExchangeTurn::Take(SharedSuiteName, settings.interrupt_fd);
  if (!turn && turn.error().code == ECANCELED) {
    return ExchangeOutcome{
        ErrorMessage(state.InterruptedAwaitingTurn().message),
        state.interrupted()};
  }
  if (!turn) return failed(turn.error());
  Result<std::unique_ptr<ExchangeBus>> connected =
      ExchangeBus::Connect(settings.service_dir, settings.companion_output_fd);
  if (!connected) return failed(connected.error());
  ExchangeBus& bus = **connected;
  Result<void> ready = bus.Listen(state);
  if (ready) ready = bus.ServiceReachable();
  if (!ready) return failed(ready.error());
  bus.NoteRunningInstance(state);
  bus.ListenForProgress(state, settings.token);
  if (Result<void> left = LeaveRequest(request_json); !left) {
    return failed(left.error());
  }

  ToolProcess tool;
  if (Result<void> started =
          tool.Start(settings.tool_path, bus.PrivateAddress(),
                     settings.companion_output_fd);
      !started) {
    WithdrawMessage(request_json);
    return failed(started.error());
  }
  state.ToolStarted(Clock::now());
  for (;;) {
    Step step = AwaitReply(bus, tool, state, settings);
    if (step.kind == Step::Kind::kGiveUp) {
      tool.Stop(0s);
      if (step.withdraw_request) WithdrawMessage(request_json);
      return ExchangeOutcome{ErrorMessage(step.message), state.interrupted(),
                             state.timed_out()};
    }
    Result<std::string> reply = ReadStoredReply();
    // Another tool's notification, or its reply stored over this one's:
    // never taken for this exchange's.
    if (reply && !IsReplyOf(*reply, settings.token)) {
      state.AnothersReplyRead();
      continue;
    }
    tool.Stop(5s);  // It quits once its notification is out.
    return ExchangeOutcome{std::move(reply), state.interrupted(),
                           state.timed_out()};
  }
}

}  // namespace quillfen
