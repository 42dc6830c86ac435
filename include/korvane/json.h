// The JSON text form of metadata: a reader and a compact writer.
//
// The reader takes exactly one JSON value, with optional whitespace (space, tab, LF, CR) around
// it, and at most 127 nested arrays and objects. Its errors read "<reason> at line L column C";
// the reasons and positions are fixed (see json.cc) because they reach Python callers as
// ValueError messages and, inside stored rows, as open errors.
//
// The writer is compact: no whitespace, object members in key byte order, integers in decimal,
// floats in the shortest form that reads back to the same bits (write_f32 for vector
// components, write_f64 for metadata numbers).
//
// All functions are pure and safe to call from several threads at once.
#pragma once

#include <string>
#include <string_view>

#include "korvane/result.h"
#include "korvane/value.h"

namespace korvane_storage {

// A JSON reading error; message is the full text, position included.
struct JsonError {
  std::string message;
};

// The deepest nesting of arrays and objects that the reader accepts.
inline constexpr int kMaxJsonDepth = 127;

// Reads one JSON value from text (metadata given by a caller).
Result<Value, JsonError> parse_json(std::string_view text);

// Appends the compact text of v to out.
void write_json(const Value& v, std::string& out);
std::string to_json(const Value& v);

// Appends s as a JSON string literal, quotes included.
void write_json_string(std::string_view s, std::string& out);

// Float rule. A non-finite number has no JSON form and is written as null; callers that must
// read the number back refuse it first (encode_record does).
void write_f32(float f, std::string& out);
void write_f64(double d, std::string& out);

}  // namespace korvane_storage
