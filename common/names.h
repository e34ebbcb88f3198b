// SPDX-License-Identifier: MIT
// Pure name handling, kept apart from system calls so that tests reach it on any machine:
// forming full paths by both platforms' rules, and splitting "file:stream[:type]".
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace ostrakit {

// ---- Windows rules ------------------------------------------------------------------------

// True when `name` (of `length` units) already starts with the extended-length prefix "\\?\".
template <class Char>
constexpr bool has_extended_prefix(const Char* name, std::size_t length) {
    return length >= 4 && name[0] == '\\' && name[1] == '\\' && name[2] == '?' && name[3] == '\\';
}

// `buffer` holds "\\?\" followed by a resolved full path of `length` units and its terminator.
// Turns that into the extended form the kernel accepts, in place:
//   "\\?\C:\dir\file"         stays as it is;
//   "\\?\\\server\share\file" becomes "\\?\UNC\server\share\file", because the prefix in front
//                             of a network name must be "\\?\UNC\", or the name never works;
//   "\\?\\\?\C:\file"         becomes "\\?\C:\file": resolution keeps a name that was already
//                             extended, and a second prefix would make it invalid.
// Device names ("\\.\") are left alone; the kernel refuses them with the prefix in front.
// Returns false when the result would not fit in `buffer_size` units.
template <class Char>
bool finish_extended_path(Char* buffer, std::size_t buffer_size, std::size_t length) {
    Char* path = buffer + 4;
    if (has_extended_prefix(path, length)) {
        std::memmove(buffer, path, (length + 1) * sizeof(Char));
        return true;
    }
    const bool network = length >= 2 && path[0] == '\\' && path[1] == '\\' &&
                         !(length >= 4 && (path[2] == '.' || path[2] == '?') && path[3] == '\\');
    if (!network) return true;
    // "\\server..." keeps one backslash behind "UNC": two more units in all.
    if (4 + length + 2 + 1 > buffer_size) return false;
    std::memmove(buffer + 7, path + 1, length * sizeof(Char));  // moves the terminator too
    buffer[4] = 'U';
    buffer[5] = 'N';
    buffer[6] = 'C';
    return true;
}

// ---- POSIX rules --------------------------------------------------------------------------

// Forms the full path of `name`: an absolute name stays as it is, a relative one gets the
// current directory `cwd` and "/" in front. Nothing is folded: after a symbolic link ".." must
// mean what the kernel makes of it. Returns false when the result and its terminator would not
// fit in `capacity` bytes.
bool form_full_path(std::string_view cwd, std::string_view name, char* out, std::size_t capacity);

// The kernel refuses a path argument of `limit` (PATH_MAX) bytes or more, so a longer path is
// walked a piece at a time. `head` is a leading piece shorter than `limit` that ends before a
// slash and names a directory; `tail` is the rest after that slash and any that follow it, to be
// looked up from the directory `head` names. Each piece keeps its bytes exactly, so symbolic
// links and ".." mean in the walk what they would in one call.
struct PathPiece {
    std::string_view head;  // empty: `tail` is the whole path, to go to the kernel in one call
    std::string_view tail;
};

// Splits off the longest head that fits. A path shorter than `limit`, or one with no slash to
// split at (a component of `limit` bytes or more, which the kernel refuses anyway), comes back
// whole as the tail. A tail never starts with a slash and is never empty when the path is not.
PathPiece next_path_piece(std::string_view path, std::size_t limit);

// A name split at the first colon of its last component.
//   "file"               -> FILE_ITSELF
//   "file::$DATA"        -> FILE_ITSELF (the unnamed stream is the file)
//   "file:name"          -> NAMED_STREAM "name"
//   "file:name:$DATA"    -> NAMED_STREAM "name" ($DATA in any case, as NTFS allows)
//   "file:", "file:name:other", "file::" and the like -> INVALID
// The parts put back together, with the colons that has_stream and has_type say were there,
// give the name again.
enum class NameKind { FILE_ITSELF, NAMED_STREAM, INVALID };

struct SplitName {
    NameKind kind;
    std::string_view file;
    std::string_view stream;
    std::string_view type;
    bool has_stream;  // a colon follows `file`
    bool has_type;    // a second colon follows `stream`
};

SplitName split_stream_name(std::string_view path);

}  // namespace ostrakit
