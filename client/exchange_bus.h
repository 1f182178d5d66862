// ExchangeBus: the bus a client's exchange runs on, and everything the
// exchange says or hears on it: the session bus, or a private one started
// where none can be reached; the tool's notification; the service's
// instances coming and going, its progress reports and the stop request.
// The bus library's exceptions stop here: every call answers a Result or
// nothing at all. Belongs to the one thread that runs the exchange.
#ifndef QUILLFEN_CLIENT_EXCHANGE_BUS_H_
#define QUILLFEN_CLIENT_EXCHANGE_BUS_H_

#include <sdbus-c++/IConnection.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "base/result.h"
#include "client/exchange_state.h"
#include "platform/private_bus.h"

namespace quillfen {

class ExchangeBus {
 public:
  // The session bus, or a private one whose activation folder is
  // |service_dir| where there is no session bus; the private bus and the
  // services it starts write to |output_fd|.
  static Result<std::unique_ptr<ExchangeBus>> Connect(
      const std::string& service_dir, int output_fd);

  // The private bus's address, for the tool; empty on the session bus.
  std::string PrivateAddress() const;

  // Listens, before anything can be said, for the tool's notification and
  // for instances of the service coming and going, and tells |state|
  // (which must outlive this bus).
  Result<void> Listen(ExchangeState& state);
  // Passes the service's progress reports for |token| on to |state|.
  // No report is worth failing the exchange for.
  void ListenForProgress(ExchangeState& state, const std::string& token);
  // Whether the bus runs the service or knows how to start it: a bus that
  // can't is reported at once instead of waited on (the tool would wait
  // without end). Nothing is started here, so the service's idle period
  // counts from the tool's call.
  Result<void> ServiceReachable() const;
  // Tells |state| of the service's current instance, if it has one.
  void NoteRunningInstance(ExchangeState& state);
  // Asks the service to stop the removals of |token|, waiting for
  // its answer until |until| at the latest; how many it stopped, or
  // nothing when it gave no answer.
  std::optional<std::uint32_t> AskServiceToStop(
      const std::string& token, ExchangeState::Clock::time_point until);

  // Handles everything the bus has brought.
  Result<void> ProcessPending();
  // Waits until |until| at the latest, or until the bus or |interrupt_fd|
  // has something; tells |state| of each interrupt.
  Result<void> Wait(ExchangeState::Clock::time_point until, int interrupt_fd,
                    ExchangeState& state);

 private:
  ExchangeBus() = default;

  std::string service_dir_;
  std::unique_ptr<PrivateBus> private_bus_;
  std::unique_ptr<sdbus::IConnection> connection_;
};

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_EXCHANGE_BUS_H_
