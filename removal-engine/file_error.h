// Turns the errno of a failed removal or of a folder the walk could not
// search into the reply's words: a sentence that names the item and the
// cause, and whether the failure is the
// no-write-permission refusal that raises "showReadMe". Pure functions:
// safe from any thread.
#ifndef QUILLFEN_REMOVAL_ENGINE_FILE_ERROR_H_
#define QUILLFEN_REMOVAL_ENGINE_FILE_ERROR_H_

#include <cstdint>
#include <string>
#include <string_view>

// SystemErrorText, which ends these messages for uncommon causes, comes
// with this header.
#include "base/error_text.h"

namespace quillfen {

// "“NAME” couldn’t be removed because ..." for the common causes, and the
// system's own error text otherwise. Characters of NAME that the bus can't
// carry are replaced in the message.
std::string RemovalErrorDescription(std::string_view item_name, int error);

// "The folder “NAME” couldn’t be searched because ...": a folder that the
// walk could not open, read or reach again, so what it holds is unvisited.
std::string FolderSearchErrorDescription(std::string_view folder_name,
                                         int error);

// A selected item that isn't removed whole because another file system is
// mounted on it (|inner_path| empty) or beneath it at |inner_path| (from the
// item): "“NAME” couldn’t be removed ..., which this removal never enters."
std::string OtherFileSystemDescription(std::string_view item_name,
                                       std::string_view inner_path);

// The sentence that tells why a folder keeps what it does beneath
// |inner_path| (from the folder): "It holds another file system, mounted on
// “INNER”, which this removal never enters."
std::string HeldFileSystemSentence(std::string_view inner_path);

// The item |item_name| (|inner_path| empty), or the folder at |inner_path|
// inside it, was found moved out of the volume while the item was being
// removed, and was left there.
std::string MovedAwayDescription(std::string_view item_name,
                                 std::string_view inner_path);

// A folder the walk was in was found moved out of the volume: what it
// held was left.
std::string FolderMovedAwayDescription(std::string_view folder_name);

// A folder that couldn’t be removed whole after |removed| (at least one)
// of the items in it were: "“NAME” couldn’t be removed whole: 8,557 of the
// items in it were removed before the removal was stopped; the rest are
// still there." when |stopped|, or else "... were removed, but not the
// rest."; either way followed by |cause|, the sentence that says why
// (empty after a stop that met no failure first).
std::string PartlyRemovedDescription(std::string_view folder_name,
                                     std::uint64_t removed, bool stopped,
                                     std::string_view cause);

// |count| items a rule selected, left in a folder because their paths
// aren’t text a reply can carry: "2 items here whose names aren’t UTF-8
// text were left in place."
std::string UnnameableItemsDescription(std::uint64_t count);

// EACCES and EPERM: the user lacks the right to remove the item.
bool IsNoWritePermission(int error);

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_FILE_ERROR_H_
