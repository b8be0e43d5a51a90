#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quill {

// ASCII-only case helpers: device names and tags are ASCII where case matters.
std::string ToLowerAscii(std::string_view text);
std::string ToUpperAscii(std::string_view text);
bool EqualsNoCase(std::string_view a, std::string_view b);
bool StartsWithNoCase(std::string_view text, std::string_view prefix);

std::string ReplaceAll(std::string_view text, char from, char to);

// The extension of a file name including its dot (".JPG"), or empty.
std::string ExtractFileExt(std::string_view name);
// The name with its extension replaced by ext (which carries its dot).
std::string ChangeFileExt(std::string_view name, std::string_view ext);

// Decodes UTF-16 little-endian units; stops at the first zero unit. Unpaired
// surrogates become U+FFFD.
std::string Utf16LeToUtf8(std::span<const std::uint8_t> bytes);
// Takes bytes as UTF-8 up to the first zero byte; invalid sequences become
// U+FFFD so that the text is always valid UTF-8.
std::string BytesToUtf8(std::span<const std::uint8_t> bytes);

// Makes a name from the device into one safe file name: no '/' or '\', no
// control characters, not "." or "..", not empty, at most 255 bytes. Empty
// when nothing safe is left. Characters are never invented: unsafe ones are
// dropped so that the same device name always gives the same result.
std::optional<std::string> SafeFileName(std::string_view name);

// Makes a safe file name (SafeFileName's) into one that FAT, exFAT and
// Windows take: each of " * : < > ? \ | becomes '_', trailing dots and spaces
// go, and a device name of DOS (CON, NUL, COM1 ...) gains a '_' after its
// stem. Empty when nothing is left.
std::optional<std::string> DosSafeName(std::string_view name);

// True when a device path has a ".." component (with '/', '\' or ':' as
// separators).
bool HasParentComponent(std::string_view path);

}  // namespace quill
