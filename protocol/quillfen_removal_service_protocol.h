// QuillfenRemovalServiceProtocol: the removal service's one-method
// interface, as the service implements it and the tool calls it. On the bus
// it is the interface of QuillfenRemovalServiceProtocol.xml, exported at
// kServiceObjectPath by the owner of ServiceName.
//
// Implementations say themselves how they may be called from threads.
#ifndef QUILLFEN_PROTOCOL_QUILLFEN_REMOVAL_SERVICE_PROTOCOL_H_
#define QUILLFEN_PROTOCOL_QUILLFEN_REMOVAL_SERVICE_PROTOCOL_H_

#include <functional>

#include "protocol/identifiers.h"
#include "protocol/value.h"

namespace quillfen {

class QuillfenRemovalServiceProtocol {
 public:
  using ReplyBlock = std::function<void(RemovalReply reply)>;

  virtual ~QuillfenRemovalServiceProtocol() = default;

  // Carries out |request|; calls |withReply| exactly once.
  virtual void removeWithFileDict(const RemovalRequest& request,
                                  const ReplyBlock& withReply) = 0;
};

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_QUILLFEN_REMOVAL_SERVICE_PROTOCOL_H_
