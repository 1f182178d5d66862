// QuillfenRemovalServiceProtocol: the removal service's interface, as the
// service implements it and the tool calls it. On the bus
// it is the interface of QuillfenRemovalServiceProtocol.xml, exported at
// kServiceObjectPath by the owner of ServiceName.
//
// Implementations say themselves how they may be called from threads.
#ifndef QUILLFEN_PROTOCOL_QUILLFEN_REMOVAL_SERVICE_PROTOCOL_H_
#define QUILLFEN_PROTOCOL_QUILLFEN_REMOVAL_SERVICE_PROTOCOL_H_

#include <functional>

#include "protocol/identifiers.h"
#include "protocol/removal_progress.h"
#include "protocol/value.h"

namespace quillfen {

class QuillfenRemovalServiceProtocol {
 public:
  using ReplyBlock = std::function<void(RemovalReply reply)>;

  virtual ~QuillfenRemovalServiceProtocol() = default;

  // Carries out |request|; calls |withReply| exactly once.
  virtual void removeWithFileDict(const RemovalRequest& request,
                                  const ReplyBlock& withReply) = 0;

  // The same, counting into |progress| as it goes and stopping early when
  // |progress| is asked to stop. An implementation that can do neither
  // carries the request out whole.
  virtual void removeReportingProgress(const RemovalRequest& request,
                                       const ReplyBlock& withReply,
                                       RemovalProgress& /*progress*/) {
    removeWithFileDict(request, withReply);
  }

  // What |request| would remove, in the reply's form, touching nothing;
  // calls |withReply| exactly once. Answers false, without calling it,
  // when the implementation can't tell.
  virtual bool previewWithFileDict(const RemovalRequest& /*request*/,
                                   const ReplyBlock& /*withReply*/) {
    return false;
  }
};

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_QUILLFEN_REMOVAL_SERVICE_PROTOCOL_H_
