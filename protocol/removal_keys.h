// Keys of the two records that cross between the removal tool and the
// removal service: RemovalRequest and RemovalReply. Both are property-list
// dictionaries (see value.h); these are their keys. Constants only.
#ifndef QUILLFEN_PROTOCOL_REMOVAL_KEYS_H_
#define QUILLFEN_PROTOCOL_REMOVAL_KEYS_H_

#include <string_view>

namespace quillfen {

// RemovalRequest. Every key is optional on the wire except "volumePath".
inline constexpr std::string_view kAppleDoubleKey = "appleDouble";
inline constexpr std::string_view kVolumePathKey = "volumePath";
inline constexpr std::string_view kFileRemovalArrayKey = "fileRemovalArray";
inline constexpr std::string_view kExtensionsArrayKey = "extensionsArray";
inline constexpr std::string_view kFileKeepArrayKey = "fileKeepArray";

// Beside the contract: a token an asker may add to its request, and which
// then comes back with the reply it stores and names its removal's progress
// signals and stops. Callers that know only the contract never send it, and
// the service never requires it.
inline constexpr std::string_view kExchangeTokenKey = "exchangeToken";

// RemovalReply. A reply always carries all four keys; "volumePath" is
// shared with the request.
inline constexpr std::string_view kShowReadMeKey = "showReadMe";
inline constexpr std::string_view kPathArrayKey = "pathArray";
inline constexpr std::string_view kErrorDictKey = "errorDict";

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_REMOVAL_KEYS_H_
