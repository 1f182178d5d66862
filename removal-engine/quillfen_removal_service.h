// QuillfenRemovalService: the removal engine. Given one RemovalRequest it
// selects the items beneath the volume that the request names (AppleDouble
// files listed by find, exact names and extensions less the keep list,
// wildcard patterns), removes them, and answers one RemovalReply: the
// removed paths, and for every failure the path and the reason.
//
// The engine has no state: an object may serve any number of requests, one
// after another or on several threads at once. All of a request's work is
// done inside the call: the walk on the calling thread, find's listing on a
// thread of its own meanwhile (or after the walk when the system can't give
// a thread), the walk's file removals on another (RemovalQueue) and, where
// a folder's entries come without types, their lookups shared among a few
// more (VolumeWalker). Each falls back to the calling thread when no thread
// can be made. What the system can't give (a pipe, find) is said in the
// reply, never an abort.
#ifndef QUILLFEN_REMOVAL_ENGINE_QUILLFEN_REMOVAL_SERVICE_H_
#define QUILLFEN_REMOVAL_ENGINE_QUILLFEN_REMOVAL_SERVICE_H_

#include <functional>
#include <string>

#include "protocol/quillfen_removal_service_protocol.h"
#include "protocol/removal_reply.h"
#include "protocol/value.h"
#include "removal-engine/apple_double_listing.h"

namespace quillfen {

class QuillfenRemovalService : public QuillfenRemovalServiceProtocol {
 public:
  // Carries out |request| and calls |withReply| exactly once, at the end,
  // on the calling thread. A request without a string "volumePath" gets the
  // empty reply; one that can't be carried out safely, or that holds a
  // string the bus could not carry (and so could not have come over it),
  // removes nothing and says why in "errorDict" under its volume path.
  void removeWithFileDict(const RemovalRequest& request,
                          const ReplyBlock& withReply) override;

  // The same, counting into |progress|. Once it is asked to stop, nothing
  // more is removed (find's listing is cut short and unused); the reply
  // lists what was removed and says under the volume path that the removal
  // was stopped before it finished.
  void removeReportingProgress(const RemovalRequest& request,
                               const ReplyBlock& withReply,
                               RemovalProgress& progress) override;

  // What |request| would remove, without removing anything: a reply whose
  // "pathArray" lists the selected items, every item before a folder that
  // holds it, and whose "errorDict" holds only refusals of the request.
  RemovalReply previewWithFileDict(const RemovalRequest& request);
  // The same, for the bus: always answers true.
  bool previewWithFileDict(const RemovalRequest& request,
                           const ReplyBlock& withReply) override;

  // The AppleDouble items beneath the volume, listed by find.
  AppleDoubleListing appleDoubleArrayForUrl(const std::string& volume_spelling);

 private:
  RemovalReply CarryOut(const RemovalRequest& request, bool remove,
                        RemovalProgress* progress);
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_QUILLFEN_REMOVAL_SERVICE_H_
