// How the service answers a call on the bus: one removal (or preview)
// carried out on an exported object and its reply written straight into
// the reply message, or, whatever goes wrong, an error that says why. Every
// call gets exactly one answer. A job's reply, kept for a signal and a
// property rather than sent once, takes the same form (BusReply). Runs on
// the calling thread (a peer's worker); the messages it answers belong to
// that thread for the call.
#ifndef QUILLFEN_SERVICE_BUS_REPLY_WRITER_H_
#define QUILLFEN_SERVICE_BUS_REPLY_WRITER_H_

#include <sdbus-c++/sdbus-c++.h>

#include <string>

#include "base/result.h"
#include "platform/unique_fd.h"
#include "protocol/quillfen_removal_service_protocol.h"
#include "protocol/removal_progress.h"
#include "service-bus/undelivered_replies.h"

namespace quillfen {

// Answers |call| with the error |name|, unless the peer or the bus is gone
// and nobody is left to tell.
void ReturnError(const sdbus::MethodCall& call, const char* name,
                 const std::string& message);

// Carries |request| out on |object|, counting into |progress|, and answers
// |call| with its reply; a reply the bus can't carry, or an exception from
// the object, becomes a Failed error naming the cause. A reply sent as a
// descriptor is left with |undelivered|, in case the caller takes none.
void AnswerRemoval(QuillfenRemovalServiceProtocol& object,
                   const RemovalRequest& request, sdbus::MethodCall& call,
                   RemovalProgress& progress, UndeliveredReplies& undelivered);

// The same for a preview: nothing is removed.
void AnswerPreview(QuillfenRemovalServiceProtocol& object,
                   const RemovalRequest& request, sdbus::MethodCall& call,
                   UndeliveredReplies& undelivered);

// A reply in the form it crosses the bus: the dictionary, or, when too
// large for one message, the sealed file holding it (reply_file.h).
struct BusReply {
  RemovalReply dictionary;
  UniqueFd file;
};
// |reply| in that form, or why it can't cross the bus at all.
Result<BusReply> BusReplyFrom(RemovalReply reply);
// Writes |reply| into |message| as one a{sv} argument; the bus library's
// sdbus::Error comes through when the message can't take it.
void AppendBusReply(const BusReply& reply, sdbus::Message& message);

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_REPLY_WRITER_H_
