#include "service-bus/progress_signal.h"

#include "protocol/identifiers.h"
#include "service-bus/bus_names.h"

namespace quillfen {

void RegisterProgressSignal(sdbus::IObject& object) {
  object.registerSignal(bus::kJobsInterface, bus::kProgressSignal,
                        bus::kProgressSignature,
                        {"token", "walked", "removed", "failed", "finished"});
}

void EmitProgressSignal(sdbus::IObject& object, const ProgressReport& report) {
  try {
    object.emitSignal(bus::kProgressSignal)
        .onInterface(bus::kJobsInterface)
        .withArguments(report.token, report.counts.walked,
                       report.counts.removed, report.counts.failed,
                       report.finished);
  } catch (const sdbus::Error&) {
  }
}

void ListenForProgressSignals(
    sdbus::IConnection& connection,
    std::function<void(const std::string& sender, const ProgressReport&)>
        handler) {
  const std::string rule = std::string("type='signal',interface='") +
                           bus::kJobsInterface + "',member='" +
                           bus::kProgressSignal + "',path='" +
                           std::string(kServiceObjectPath) + "'";
  connection.addMatch(
      rule,
      [handler = std::move(handler)](sdbus::Message& message) {
        ProgressReport report;
        try {
          message >> report.token >> report.counts.walked >>
              report.counts.removed >> report.counts.failed >> report.finished;
        } catch (const sdbus::Error&) {
          return;  // Not the signal's form: no report.
        }
        handler(message.getSender(), report);
      },
      sdbus::floating_slot);
}

}  // namespace quillfen
