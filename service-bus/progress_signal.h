// The RemovalProgress signal of the jobs interface, both ways: a running
// removal's counts as the service sends them, and as a listener reads them
// back. Counts only, and the exchange token of the request they belong to: no
// path at all. A request without a token gets no signal. Plain functions; each
// call works on the connection or message it is given, on that connection's
// thread.
#ifndef QUILLFEN_SERVICE_BUS_PROGRESS_SIGNAL_H_
#define QUILLFEN_SERVICE_BUS_PROGRESS_SIGNAL_H_

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <string>

#include "protocol/removal_progress.h"

namespace quillfen {

struct ProgressReport {
  std::string token;  // The request's exchange token.
  RemovalProgress::Counts counts;
  bool finished = false;  // The removal's last report, after its reply.
};

// Declares the signal on |object|, before its registration is finished.
void RegisterProgressSignal(sdbus::IObject& object);

// Sends |report| from |object|. A signal that can't be sent is nobody's
// loss (the reply still goes): it is dropped.
void EmitProgressSignal(sdbus::IObject& object, const ProgressReport& report);

// Calls |handler| with each report any instance of the service sends, and
// the sender's unique name, for as long as |connection| lives. Throws
// sdbus::Error when the bus refuses the match.
void ListenForProgressSignals(
    sdbus::IConnection& connection,
    std::function<void(const std::string& sender, const ProgressReport&)>
        handler);

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_PROGRESS_SIGNAL_H_
