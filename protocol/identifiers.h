// The names fixed at build time that the removal service, the removal tool
// and their callers agree on. Plain constants: safe from any thread.
#ifndef QUILLFEN_PROTOCOL_IDENTIFIERS_H_
#define QUILLFEN_PROTOCOL_IDENTIFIERS_H_

#include <string_view>

namespace quillfen {

// The removal service's well-known bus name.
inline constexpr std::string_view ServiceName =
    "org.quillfen.QuillfenRemovalService";

// Where the service exports its object.
inline constexpr std::string_view kServiceObjectPath =
    "/org/quillfen/QuillfenRemovalService";

// The removal tool's identifier; the object of its reply notification.
inline constexpr std::string_view ToolIdentifier =
    "org.quillfen.QuillfenRemovalTool";

// The shared domain that the tool and Quillfen exchange messages through.
inline constexpr std::string_view SharedSuiteName =
    "QF7K2M9T4R.org.quillfen.Quillfen";

// What the tool and Quillfen leave for each other in the shared domain, as
// JSON text: Quillfen's request, which the tool takes out, and the tool's
// reply, which nothing removes; and the tool's short version, written at
// each launch.
inline constexpr std::string_view kMessageKey = "message";
inline constexpr std::string_view kReplyKey = "reply";
inline constexpr std::string_view kToolVersionKey = "toolVersion";

// Posted by the tool, with ToolIdentifier as its object, once its reply is
// stored.
inline constexpr std::string_view kReplySentNotification =
    "replySentNotification";

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_IDENTIFIERS_H_
