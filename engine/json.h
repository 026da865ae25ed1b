// A small JSON writer and reader for the inspection interface. Byte strings
// (user ids, messages, payloads) travel as lowercase hex text so that any
// byte value, invalid UTF-8 included, survives the trip unchanged.
#ifndef CORVEL_ENGINE_JSON_H_
#define CORVEL_ENGINE_JSON_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvel::engine {

std::string HexEncode(const void* data, size_t size);
std::optional<std::string> HexDecode(std::string_view hex);

// 64-bit FNV-1a of a byte range: the payload fingerprint the inspection
// records carry next to the size.
uint64_t Fnv1a64(const void* data, size_t size);

class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  JsonWriter& Key(std::string_view key);
  JsonWriter& String(std::string_view text);
  JsonWriter& Int(int64_t value);
  JsonWriter& Uint(uint64_t value);
  JsonWriter& Bool(bool value);
  JsonWriter& Null();
  // Bytes as hex text.
  JsonWriter& Hex(const void* data, size_t size);
  // A NUL-terminated text as hex, or null for a null pointer.
  JsonWriter& CText(const char* text);
  // Already-serialized JSON.
  JsonWriter& Raw(std::string_view json);
  void Reserve(size_t bytes) { out_.reserve(bytes); }

  const std::string& str() const { return out_; }
  std::string Take() { return std::move(out_); }

 private:
  void BeforeValue();

  std::string out_;
  std::vector<bool> first_;  // per open container: no element written yet
  bool after_key_ = false;
};

struct JsonValue {
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  std::string text;  // string contents, or the literal of a number
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  bool is_null() const { return type == Type::kNull; }
  const JsonValue* Find(std::string_view key) const;
  std::optional<int64_t> AsInt() const;
  std::optional<uint64_t> AsUint() const;
};

std::optional<JsonValue> ParseJson(std::string_view text);

}  // namespace corvel::engine

#endif  // CORVEL_ENGINE_JSON_H_
