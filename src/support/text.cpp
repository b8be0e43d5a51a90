#include "support/text.h"

namespace quill {

namespace {

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool IsPathDelimiter(char c) { return c == '/' || c == '\\' || c == ':'; }

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one well-formed UTF-8 sequence at the start of bytes (shortest form
// only, no surrogates, at most U+10FFFF). Returns its length, or 0 when the
// first byte does not start a valid sequence.
std::size_t DecodeUtf8(std::span<const std::uint8_t> bytes, char32_t& cp) {
  const std::uint8_t lead = bytes[0];
  if (lead < 0x80) {
    cp = lead;
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2;
    value = lead & 0x1Fu;
    minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3;
    value = lead & 0x0Fu;
    minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4;
    value = lead & 0x07u;
    minimum = 0x10000;
  } else {
    return 0;
  }
  if (bytes.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((bytes[i] & 0xC0) != 0x80) return 0;
    value = (value << 6) | (bytes[i] & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  cp = value;
  return length;
}

// Cuts text to at most limit bytes without splitting a UTF-8 sequence (the
// text is valid UTF-8 here, so a continuation byte marks a split).
std::string_view CutUtf8(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

bool OnlyDotsAndSpaces(std::string_view name) {
  return name.find_first_not_of(". ") == std::string_view::npos;
}

}  // namespace

std::string ToLowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

std::string ToUpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperAscii(c);
  return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

std::string ReplaceAll(std::string_view text, char from, char to) {
  std::string out(text);
  for (char& c : out) {
    if (c == from) c = to;
  }
  return out;
}

std::string ExtractFileExt(std::string_view name) {
  for (std::size_t i = name.size(); i > 0; --i) {
    const char c = name[i - 1];
    if (c == '.') return std::string(name.substr(i - 1));
    if (IsPathDelimiter(c)) break;
  }
  return {};
}

std::string ChangeFileExt(std::string_view name, std::string_view ext) {
  const std::size_t keep = name.size() - ExtractFileExt(name).size();
  std::string out(name.substr(0, keep));
  out += ext;
  return out;
}

std::string Utf16LeToUtf8(std::span<const std::uint8_t> bytes) {
  std::string out;
  const std::size_t units = bytes.size() / 2;  // an odd trailing byte is no unit
  auto unit_at = [&](std::size_t i) -> char32_t {
    return static_cast<char32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t unit = unit_at(i);
    if (unit == 0) break;
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < units) {
      const char32_t low = unit_at(i + 1);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    AppendUtf8(out, (unit >= 0xD800 && unit <= 0xDFFF) ? kReplacement : unit);
  }
  return out;
}

std::string BytesToUtf8(std::span<const std::uint8_t> bytes) {
  std::string out;
  out.reserve(bytes.size());
  std::size_t i = 0;
  while (i < bytes.size() && bytes[i] != 0) {
    char32_t cp = 0;
    const std::size_t length = DecodeUtf8(bytes.subspan(i), cp);
    if (length == 0) {
      // One replacement per bad byte keeps the damage local and the rest readable.
      AppendUtf8(out, kReplacement);
      ++i;
      continue;
    }
    // A zero byte never passes DecodeUtf8 inside a sequence, so the text ends
    // at the first zero byte as promised.
    AppendUtf8(out, cp);
    i += length;
  }
  return out;
}

std::optional<std::string> SafeFileName(std::string_view name) {
  constexpr std::size_t kMaxBytes = 255;
  // Extensions longer than this are not worth keeping at the cost of the stem.
  constexpr std::size_t kMaxKeptExt = 32;

  // Invalid UTF-8 bytes are dropped like any other unsafe character: a name
  // that the file system or the user's tools cannot show is no safe name.
  std::string safe;
  safe.reserve(name.size());
  const auto bytes = std::span(reinterpret_cast<const std::uint8_t*>(name.data()), name.size());
  std::size_t i = 0;
  while (i < bytes.size()) {
    char32_t cp = 0;
    const std::size_t length = DecodeUtf8(bytes.subspan(i), cp);
    if (length == 0) {
      ++i;
      continue;
    }
    const bool control = cp < 0x20 || (cp >= 0x7F && cp < 0xA0);
    if (!control && cp != '/' && cp != '\\') safe.append(name.substr(i, length));
    i += length;
  }

  // Leading and trailing spaces are kept (they are the device's name); a name
  // of nothing but dots and spaces would be ".", ".." or invisible.
  if (OnlyDotsAndSpaces(safe)) return std::nullopt;

  if (safe.size() > kMaxBytes) {
    const std::string ext = ExtractFileExt(safe);
    const std::string_view stem = std::string_view(safe).substr(0, safe.size() - ext.size());
    std::string cut;
    if (!ext.empty() && ext.size() <= kMaxKeptExt && !stem.empty()) {
      cut = std::string(CutUtf8(stem, kMaxBytes - ext.size())) + ext;
    }
    if (cut.empty() || OnlyDotsAndSpaces(cut.substr(0, cut.size() - ext.size()))) {
      cut = std::string(CutUtf8(safe, kMaxBytes));
    }
    safe = std::move(cut);
    if (OnlyDotsAndSpaces(safe)) return std::nullopt;
  }
  return safe;
}

std::optional<std::string> DosSafeName(std::string_view name) {
  std::string safe(name);
  for (char& c : safe) {
    if (static_cast<unsigned char>(c) < 0x20 ||
        std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos)
      c = '_';
  }
  // Windows drops them on every open, so such a file could not be read back.
  while (!safe.empty() && (safe.back() == '.' || safe.back() == ' ')) safe.pop_back();
  if (safe.empty()) return std::nullopt;
  const std::string stem = ToUpperAscii(std::string_view(safe).substr(0, safe.find('.')));
  const bool numbered = stem.size() == 4 && (stem.starts_with("COM") || stem.starts_with("LPT")) &&
                        stem[3] >= '1' && stem[3] <= '9';
  if (numbered || stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL")
    safe = safe.substr(0, stem.size()) + '_' + safe.substr(stem.size());
  return safe;
}

bool HasParentComponent(std::string_view path) {
  std::size_t start = 0;
  for (std::size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || IsPathDelimiter(path[i])) {
      if (path.substr(start, i - start) == "..") return true;
      start = i + 1;
    }
  }
  return false;
}

}  // namespace quill
