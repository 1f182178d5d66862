// How the removal engine reads names and paths: an item's extension, the
// one spelling of a volume path, and whether a name can be written into a
// reply at all (it must be valid UTF-8). Pure functions: safe from any
// thread.
#ifndef QUILLFEN_REMOVAL_ENGINE_PATH_NAMES_H_
#define QUILLFEN_REMOVAL_ENGINE_PATH_NAMES_H_

#include <string>
#include <string_view>

namespace quillfen {

// The text after the last dot of |name|; empty when there is no dot, and
// when the only dot is the first character (".profile", "._x").
std::string_view NameExtension(std::string_view name);

// The last component of a slash-separated path.
std::string_view LastComponent(std::string_view path);

// |path| with runs of slashes folded into one and trailing slashes dropped
// ("/" stays "/"). Nothing else is rewritten: "." and ".." stay as they are.
std::string NormalizeSlashes(std::string_view path);

// The full path of |relative_path| beneath the volume spelt |volume|, as
// the walk and the reply write it.
std::string JoinVolumePath(std::string_view volume,
                           std::string_view relative_path);

bool IsValidUtf8(std::string_view text);

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_PATH_NAMES_H_
