#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quill {

// Builds one JSON text. Keys and values are written in call order; the
// writer inserts the commas. Strings must be UTF-8; control characters and
// quotes are escaped.
class TJsonWriter {
public:
  void BeginObject();
  void EndObject();
  void BeginArray();
  void EndArray();
  // Names the next value inside an object.
  void Key(std::string_view key);
  void String(std::string_view value);
  void Number(std::int64_t value);
  void Unsigned(std::uint64_t value);
  void Bool(bool value);
  void Null();
  const std::string& Text() const { return text_; }

private:
  void BeforeValue();
  void WriteString(std::string_view value);
  std::string text_;
  std::vector<bool> first_;  // per open container: no element written yet
  bool after_key_ = false;
};

}  // namespace quill
