// How the service answers a call on the bus: one removal carried out on an
// exported object and its reply written straight into the reply message,
// or, whatever goes wrong, an error that says why. Every call gets exactly
// one answer. Runs on the calling thread (a peer's worker); the messages it
// answers belong to that thread for the call.
#ifndef QUILLFEN_SERVICE_BUS_REPLY_WRITER_H_
#define QUILLFEN_SERVICE_BUS_REPLY_WRITER_H_

#include <sdbus-c++/sdbus-c++.h>

#include <string>

#include "protocol/quillfen_removal_service_protocol.h"
#include "protocol/removal_progress.h"

namespace quillfen {

// Answers |call| with the error |name|, unless the peer or the bus is gone
// and nobody is left to tell.
void ReturnError(const sdbus::MethodCall& call, const char* name,
                 const std::string& message);

// Carries |request| out on |object|, counting into |progress|, and answers
// |call| with its reply; a reply the bus can't carry, or an exception from
// the object, becomes a Failed error naming the cause.
void AnswerRemoval(QuillfenRemovalServiceProtocol& object,
                   const RemovalRequest& request, sdbus::MethodCall& call,
                   RemovalProgress& progress);

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_REPLY_WRITER_H_
