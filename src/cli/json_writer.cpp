#include "cli/json_writer.h"

#include <cstdio>

namespace quill {

void TJsonWriter::BeforeValue() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) text_ += ',';
    first_.back() = false;
  }
}

void TJsonWriter::BeginObject() {
  BeforeValue();
  text_ += '{';
  first_.push_back(true);
}

void TJsonWriter::EndObject() {
  text_ += '}';
  first_.pop_back();
}

void TJsonWriter::BeginArray() {
  BeforeValue();
  text_ += '[';
  first_.push_back(true);
}

void TJsonWriter::EndArray() {
  text_ += ']';
  first_.pop_back();
}

void TJsonWriter::Key(std::string_view key) {
  BeforeValue();
  WriteString(key);
  text_ += ':';
  after_key_ = true;
}

void TJsonWriter::String(std::string_view value) {
  BeforeValue();
  WriteString(value);
}

void TJsonWriter::WriteString(std::string_view value) {
  text_ += '"';
  for (unsigned char c : value) {
    switch (c) {
      case '"': text_ += "\\\""; break;
      case '\\': text_ += "\\\\"; break;
      case '\n': text_ += "\\n"; break;
      case '\r': text_ += "\\r"; break;
      case '\t': text_ += "\\t"; break;
      default:
        if (c < 0x20) {
          char buffer[8];
          std::snprintf(buffer, sizeof buffer, "\\u%04x", c);
          text_ += buffer;
        } else {
          text_ += static_cast<char>(c);
        }
    }
  }
  text_ += '"';
}

void TJsonWriter::Number(std::int64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
}

void TJsonWriter::Unsigned(std::uint64_t value) {
  BeforeValue();
  text_ += std::to_string(value);
}

void TJsonWriter::Bool(bool value) {
  BeforeValue();
  text_ += value ? "true" : "false";
}

void TJsonWriter::Null() {
  BeforeValue();
  text_ += "null";
}

}  // namespace quill
