#pragma once

#include <cstddef>
#include <string>

namespace qb {

// `text` with every byte that is not part of a well-formed UTF-8 sequence replaced by U+FFFD, so
// that whatever reaches the log or a JSON answer is valid UTF-8. Valid text comes back unchanged.
std::string ToValidUtf8(const std::string& text);

// `text` (valid UTF-8) safe to print on a terminal: every control character but tab and line feed
// (a carriage return too) is written out as "\xHH" (C0 controls and DEL) or "\u00HH" (C1 controls),
// so that text from users, devices or the network cannot move the cursor, recolour or retitle a
// terminal. Everything the log writes or prints goes through it.
std::string EscapeControls(const std::string& text);

// The number of characters of `text` when it is valid UTF-8; npos when it is not.
size_t Utf8Length(const std::string& text);

// The longest device name or location the API takes, in characters.
constexpr size_t kMaxDeviceText = 256;

// Empty when `value` may be stored as the device's `field` ("name", "Location"); otherwise the
// message for the user, naming the limit.
std::string DeviceTextProblem(const std::string& field, const std::string& value);

}  // namespace qb
