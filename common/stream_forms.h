// SPDX-License-Identifier: MIT
// How file servers keep a Windows stream in an extended attribute, from bytes alone: the names
// Samba (vfs_streams_xattr) and ksmbd give its attributes, how a value holds its bytes, and a
// block of a write put into a value.
#pragma once

#include <cstddef>
#include <string_view>

namespace ostrakit {

// How a value holds a stream's bytes: Samba's form is the bytes and one NUL after them; the raw
// form (ksmbd's, and ntfs-3g's "user.<stream>") the bytes alone.
enum class ValueForm : unsigned char { RAW, SAMBA };

// The form of a value that a server keeps: Samba's when its last byte is NUL, raw otherwise,
// the empty value included. A raw value that ends in NUL cannot be told from Samba's.
ValueForm value_form(const unsigned char* value, std::size_t length);

// Forms in `attribute` (`capacity` bytes) the terminated name of the attribute both servers
// keep `stream` in, "user.DosStream.<stream>:$DATA". False when it does not fit.
bool form_server_attribute(std::string_view stream, char* attribute, std::size_t capacity);

// The stream name that the attribute `attribute` holds for a server's clients: "name" for
// "user.DosStream.name:$DATA"; empty for any other attribute.
std::string_view samba_stream_name(std::string_view attribute);

// Forms in `piece` (`capacity` bytes) the terminated name of Samba's piece `index` of
// `stream`, "user.DosStreamExt.<index>.<stream>:$DATA". False when it does not fit.
bool form_piece_attribute(std::string_view stream, unsigned index, char* piece,
                          std::size_t capacity);

// A value of a stream as it is read, with the room it may grow into.
struct StreamValue {
    unsigned char* bytes;
    std::size_t capacity;
    std::size_t length;  // the form's NUL included
    ValueForm form;
};

enum class Placing {
    PLACED,
    CHANGED,  // not in its form any more, or shorter than the block's position: another
              // writer changed it in a way a block cannot follow
    FULL,     // no room left at the position
};

// Puts as much of `block` (`size` bytes) as there is room for into `value` at `position`,
// leaving every other byte as it is and the value in its form; sets `taken` to the bytes put
// and `value.length` to the new length.
Placing place_block(StreamValue& value, std::size_t position, const unsigned char* block,
                    std::size_t size, std::size_t& taken);

}  // namespace ostrakit
