// SPDX-License-Identifier: MIT
// The attribute names and value forms of a file server's streams, from bytes alone.
#include "stream_forms.h"

#include <charconv>
#include <cstring>

namespace ostrakit {

namespace {

constexpr std::string_view STREAM_PREFIX = "user.DosStream.";
constexpr std::string_view PIECE_PREFIX = "user.DosStreamExt.";
constexpr std::string_view STREAM_SUFFIX = ":$DATA";

// Appends `text` at `at` in `out`, leaving room for a terminator. False when it does not fit.
bool append(char* out, std::size_t capacity, std::size_t& at, std::string_view text) {
    if (text.size() >= capacity - at) return false;
    std::memcpy(out + at, text.data(), text.size());
    at += text.size();
    out[at] = '\0';
    return true;
}

}  // namespace

std::string_view samba_stream_name(std::string_view attribute) {
    // No starts_with or ends_with: their bounds check would pull the C++ runtime's exception
    // support into the tools.
    const std::size_t affixes = STREAM_PREFIX.size() + STREAM_SUFFIX.size();
    if (attribute.size() <= affixes ||
        std::string_view(attribute.data(), STREAM_PREFIX.size()) != STREAM_PREFIX ||
        std::string_view(attribute.data() + attribute.size() - STREAM_SUFFIX.size(),
                         STREAM_SUFFIX.size()) != STREAM_SUFFIX)
        return {};
    return std::string_view(attribute.data() + STREAM_PREFIX.size(), attribute.size() - affixes);
}

ValueForm value_form(const unsigned char* value, std::size_t length) {
    return length > 0 && value[length - 1] == 0 ? ValueForm::SAMBA : ValueForm::RAW;
}

bool form_server_attribute(std::string_view stream, char* attribute, std::size_t capacity) {
    std::size_t at = 0;
    return append(attribute, capacity, at, STREAM_PREFIX) &&
           append(attribute, capacity, at, stream) &&
           append(attribute, capacity, at, STREAM_SUFFIX);
}

bool form_piece_attribute(std::string_view stream, unsigned index, char* piece,
                          std::size_t capacity) {
    char digits[12];
    const std::size_t count =
        static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, index).ptr - digits);
    std::size_t at = 0;
    return append(piece, capacity, at, PIECE_PREFIX) &&
           append(piece, capacity, at, std::string_view(digits, count)) &&
           append(piece, capacity, at, ".") && append(piece, capacity, at, stream) &&
           append(piece, capacity, at, STREAM_SUFFIX);
}

Placing place_block(StreamValue& value, std::size_t position, const unsigned char* block,
                    std::size_t size, std::size_t& taken) {
    // A raw value is raw whatever its last byte; one of Samba's form keeps its NUL.
    const std::size_t trailer = value.form == ValueForm::SAMBA ? 1 : 0;
    if (trailer != 0 && value_form(value.bytes, value.length) != ValueForm::SAMBA)
        return Placing::CHANGED;
    const std::size_t held = value.length - trailer;
    if (position > held) return Placing::CHANGED;
    if (position >= value.capacity - trailer) return Placing::FULL;
    const std::size_t room = value.capacity - trailer - position;
    taken = size < room ? size : room;
    std::memcpy(value.bytes + position, block, taken);
    const std::size_t end = position + taken;
    if (end > held) {
        value.length = end + trailer;
        if (trailer != 0) value.bytes[end] = 0;
    }
    return Placing::PLACED;
}

}  // namespace ostrakit
