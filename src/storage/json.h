// The JSON writer's parts that the storage layer builds record rows from. The reader and the
// writer of whole values are public (korvane/value.h, where their rules are stated); json.cc
// holds both.
#pragma once

#include <string>
#include <string_view>

#include "korvane/value.h"

namespace korvane_storage {

// Appends s as a JSON string literal, quotes included.
void write_json_string(std::string_view s, std::string& out);

// Float rule. A non-finite number has no JSON form and is written as null; callers that must
// read the number back refuse it first (encode_record does).
void write_f32(float f, std::string& out);
void write_f64(double d, std::string& out);

}  // namespace korvane_storage
