// The two RemovalReply shapes that don't depend on the volume: the empty
// reply and the refusal of a whole request. The engine answers with them,
// and so does the removal tool when a request can't even reach the
// service, so that both roads give one answer. Pure functions: safe from
// any thread.
#ifndef QUILLFEN_PROTOCOL_REMOVAL_REPLY_H_
#define QUILLFEN_PROTOCOL_REMOVAL_REPLY_H_

#include <string>
#include <string_view>

#include "protocol/value.h"

namespace quillfen {

// The words a stopped removal's reply says, under the volume's own path:
// after anything else said of the volume's folder, they open the stop's
// sentence. Readers of a reply (the client's summary) find the stop by them.
inline constexpr std::string_view kRemovalStoppedWords =
    "The removal was stopped before it finished;";
// How a folder's entry ends when the stop left part of its items removed.
inline constexpr std::string_view kFolderCutShortByStopWords =
    " before the removal was stopped; the rest are still there.";

// A reply with all four keys: nothing removed, nothing failed.
RemovalReply EmptyRemovalReply(Value volume_path = Value(""));

// A request refused whole: nothing removed, and |why| in "errorDict" under
// "volumePath" exactly as the request sent it. A request without a string
// "volumePath" gets the empty reply.
RemovalReply RefusedRequestReply(const RemovalRequest& request,
                                 std::string why);

// The exchange token |request| carries; empty when it carries none (or
// one that isn't text).
std::string ExchangeToken(const RemovalRequest& request);

// |reply| with the exchange token |request| carries, if any: a fifth key
// that tells an asker its own reply from another's.
void CarryExchangeToken(const RemovalRequest& request, RemovalReply& reply);

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_REMOVAL_REPLY_H_
