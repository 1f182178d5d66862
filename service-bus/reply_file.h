// A reply too large for one bus message, handed over as a file instead: the
// service writes the reply's JSON text (json_form.h) into a memory file,
// seals it against every change and sends its descriptor, as an "h" under
// bus::kReplyFileKey, in an a{sv} reply of that one entry; the tool's
// connection reads the text back into the same dictionary. A reader takes
// only a file sealed against writing and shrinking, so the text can't
// change, nor the file shrink, while it is mapped. Stateless: safe from any
// thread; the message is the calling thread's for the call.
#ifndef QUILLFEN_SERVICE_BUS_REPLY_FILE_H_
#define QUILLFEN_SERVICE_BUS_REPLY_FILE_H_

#include <sdbus-c++/sdbus-c++.h>

#include "base/result.h"
#include "platform/unique_fd.h"
#include "protocol/value.h"

namespace quillfen {

// A sealed memory file holding |reply| (a dictionary) as JSON text,
// written as it goes rather than held whole first.
Result<UniqueFd> WriteSealedReplyFile(const Value& reply);

// The reply in the sealed file |fd|.
Result<RemovalReply> ReadSealedReplyFile(int fd);

// The reply in |message|'s next argument (an a{sv}): the dictionary itself,
// or the one in the file it carries under bus::kReplyFileKey.
Result<RemovalReply> ReplyFromMessage(sdbus::Message& message);

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_REPLY_FILE_H_
