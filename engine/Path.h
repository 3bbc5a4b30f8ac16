// Paths as byte strings with '/' separators: joining, splitting, the few
// questions asked of a path as a whole, and which folder of one tree lies in
// another. Names that are not valid UTF-8 pass through unchanged.
//
// Two forms occur: a full path ("/home/me/docs") and a relative path, which
// is empty for a root itself or begins with '/' ("/sub/a.txt"); appending a
// relative path to a root gives the same place in that root's tree.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "engine/Status.h"

namespace quillfen {

// `path` without trailing '/' characters; "/" (or "///") stays "/".
std::string TrimTrailingSlashes(std::string_view path);

// `folder` + '/' + `name`, without doubling a '/' that ends `folder`.
std::string JoinPath(std::string_view folder, std::string_view name);

// The place of `relative` (empty, or beginning with '/') in the tree of
// `root`: the root without its trailing '/' followed by `relative`. Under the
// file-system root the relative path is the full path ("/" + "/a" = "/a").
std::string JoinRelative(std::string_view root, std::string_view relative);

// The relative folder holding the relative path `relative`: the part before
// its last '/' ("/a/b.txt" -> "/a", "/b.txt" -> "", the root).
std::string_view FolderOf(std::string_view relative);

// The folder holding the file at the full path `path`: "/a/b.txt" -> "/a",
// "/b.txt" -> "/", "b.txt" -> ".".
std::string FolderOfFull(std::string_view path);

// The part of `path` after its last '/' (all of it when it has none).
std::string_view LastName(std::string_view path);

// The extension of the file at `path`: from the last '.' of its name to the
// end, dot included; empty when the name holds no dot (a dot in a folder name
// does not count).
std::string_view FileExtension(std::string_view path);

// Whether `inner` lies strictly beneath `outer`, by their text (both without
// trailing '/'; "/" holds every other full path).
bool IsInside(std::string_view inner, std::string_view outer);

// `path` with every symbolic link resolved and "." and ".." removed, without
// a trailing '/'; a part that does not exist yet is kept as written. Empty
// when it cannot be resolved.
std::string ResolvedPath(std::string_view path);

// Whether a folder (or a link to one) stands at `path`. Never for "".
bool IsFolder(std::string_view path);

// Creates the one folder `path`; its parent must exist. The user's umask
// decides its permission bits, as for any folder they make. True on success.
bool MakeFolder(std::string_view path);

// Makes `path` a folder: when none is there, first as one folder and, when
// that fails, every missing folder along the path, outermost first. Ok when
// a folder stands at `path` afterwards; otherwise the error of the first
// folder along it that could not be made ("<that folder>: <reason>"), which
// callers may pass on or leave to their next step to report.
Status MakeFolderPath(std::string_view path);

// The folder to leave out when listing `source`, so that a destination inside
// the source tree is not copied into itself: the destination's place relative
// to `source` ("/backup"), with symbolic links resolved to find it; empty when
// the destination does not lie strictly inside the source tree.
std::string FolderToLeaveOut(std::string_view source, std::string_view destination);

// Where the source tree lies in the destination tree, links resolved: ""
// when the two are the same folder, the source's place relative to the
// destination ("/data") when it lies inside, nullopt when it is elsewhere.
// Folders there belong to the source, so links met there are the user's own.
// A path that cannot be resolved counts as the same folder (the careful
// answer).
std::optional<std::string> SourcePlaceInDestination(std::string_view source,
                                                    std::string_view destination);

// Whether the relative folder `folder` is `place` or lies beneath it.
bool IsAtOrBelow(std::string_view folder, std::string_view place);

}  // namespace quillfen
