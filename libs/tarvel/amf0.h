// AMF0, the value encoding of FLV script data: a writer for the metadata
// tag and a bounded reader for script data found in files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tarvel {

// Appends AMF0 values to a byte vector. The caller keeps the structure
// balanced: every beginEcmaArray/beginObject is closed by endObject.
class Amf0Writer {
 public:
  explicit Amf0Writer(std::vector<uint8_t>& out) : out_(out) {}

  void number(double value);
  void boolean(bool value);
  // Strings longer than 65535 bytes are written as long strings.
  void string(std::string_view value);
  // A property name inside an object or ECMA array (no type marker).
  void key(std::string_view name);
  // count is the advisory element count stored in the array's header.
  void beginEcmaArray(uint32_t count);
  void beginObject();
  void endObject();
  void numberArray(const std::vector<double>& values);
  // A strict array header; count values follow.
  void beginStrictArray(uint32_t count);

 private:
  void u16(uint16_t v);
  void u32(uint32_t v);
  std::vector<uint8_t>& out_;
};

// Bytes an encoded number, boolean or key takes, for layouts computed in advance.
constexpr size_t kAmf0NumberSize = 9;
constexpr size_t kAmf0BooleanSize = 2;
constexpr size_t amf0KeySize(std::string_view name) { return 2 + name.size(); }
constexpr size_t amf0StringSize(std::string_view s) { return 3 + s.size(); }

// A decoded value. Objects and ECMA arrays keep their properties in order;
// strict arrays keep their elements with empty names.
struct Amf0Value {
  enum class Type { kNumber, kBoolean, kString, kObject, kEcmaArray, kStrictArray,
                    kNull, kUndefined, kDate };
  Type type = Type::kNull;
  double number = 0;  // number, date (ms), boolean (0 or 1)
  std::string text;
  std::vector<std::pair<std::string, Amf0Value>> members;

  // Declared here and defined in amf0.cpp: an inline destructor makes clang
  // with libstdc++ instantiate the pair above while Amf0Value is incomplete.
  Amf0Value() = default;
  Amf0Value(const Amf0Value&) = default;
  Amf0Value(Amf0Value&&) = default;
  Amf0Value& operator=(const Amf0Value&) = default;
  Amf0Value& operator=(Amf0Value&&) = default;
  ~Amf0Value();

  // The member named name, or null.
  const Amf0Value* find(std::string_view name) const;
};

// Limits on what the reader accepts from a file.
constexpr int kAmf0MaxDepth = 16;
constexpr size_t kAmf0MaxValues = 1 << 20;

// Decodes one value from data[0, size). Returns the bytes consumed, or 0 when
// the bytes are not a complete value within the limits (nesting deeper than
// kAmf0MaxDepth, more than kAmf0MaxValues values, a length past the end,
// references or unknown markers). Iterative: the depth of the input never
// reaches the call stack.
size_t readAmf0(const uint8_t* data, size_t size, Amf0Value* value);

// The leading string of a script tag's data (its event name, e.g.
// "onMetaData"); false when the data does not start with an AMF0 string.
bool readAmf0Name(const uint8_t* data, size_t size, std::string* name);

}  // namespace tarvel
