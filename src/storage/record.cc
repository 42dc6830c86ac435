// Row format. The writer always produces
//
//   row      := '{' '"id":' string ',"vector":' '[' [f32 (',' f32)*] ']'
//               ',"metadata":' (json | 'null') ',"timestamp":' (u64 | 'null') '}'
//
// compact, keys in this order, f32 by the float rule (json.h). The reader is more lenient, since
// rows written by other writers must open too:
//
//   row      := ws (object | array) ws
//   object   := '{' [member (',' member)*] '}'     any key order; id and vector required;
//                                                  a known key at most once; other keys' values
//                                                  are checked for syntax and dropped
//   array    := '[' id ',' vector ',' metadata ',' timestamp ']'      exactly four elements
//   id       := string
//   vector   := '[' [number (',' number)*] ']'
//   metadata := 'null' (absent) | any JSON value
//   timestamp:= 'null' (absent) | unsigned integer literal below 2^64
//
// with whitespace allowed between tokens and at most 127 nested arrays and objects, the row's
// own bracket counting as the first. A vector component that is an integer literal of at most
// 64 bits converts directly to the nearest float; any other number is read as a double first.
#include "storage/record.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "storage/float_text.h"
#include "storage/json_reader.h"

namespace korvane_storage {
namespace {

using json_internal::Number;
using json_internal::Reader;

// The metadata's own levels that a row can hold: the row's object is the first of the reader's.
constexpr int kMaxMetadataDepth = kMaxJsonDepth - 1;

// Stops as soon as the limit is passed, so the recursion stays shallow whatever the value.
bool nests_deeper_than(const Value& v, int limit) {
  if (v.kind() == Value::Kind::Array) {
    if (limit == 0) return true;
    for (const Value& item : v.as_array()) {
      if (nests_deeper_than(item, limit - 1)) return true;
    }
  } else if (v.kind() == Value::Kind::Object) {
    if (limit == 0) return true;
    for (const Value::Member& m : v.as_object()) {
      if (nests_deeper_than(m.value, limit - 1)) return true;
    }
  }
  return false;
}

// Whether any string or key inside v is not valid UTF-8 (possible only for values built in C++;
// the reader checks what it reads).
bool holds_invalid_text(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::String: return !json_internal::valid_utf8(v.as_string());
    case Value::Kind::Array:
      return std::any_of(v.as_array().begin(), v.as_array().end(), holds_invalid_text);
    case Value::Kind::Object:
      return std::any_of(v.as_object().begin(), v.as_object().end(), [](const Value::Member& m) {
        return !json_internal::valid_utf8(m.key) || holds_invalid_text(m.value);
      });
    default: return false;
  }
}

// Whether any number inside v is a non-finite double (possible only for values built in C++).
bool holds_non_finite(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Float: return !std::isfinite(v.as_float());
    case Value::Kind::Array:
      return std::any_of(v.as_array().begin(), v.as_array().end(), holds_non_finite);
    case Value::Kind::Object:
      return std::any_of(v.as_object().begin(), v.as_object().end(),
                         [](const Value::Member& m) { return holds_non_finite(m.value); });
    default: return false;
  }
}

enum Field { kId, kVector, kMetadata, kTimestamp, kFieldCount, kUnknown = kFieldCount };
constexpr std::string_view kFieldNames[kFieldCount] = {"id", "vector", "metadata", "timestamp"};

Field field_of(std::string_view key) {
  for (int f = 0; f < kFieldCount; ++f) {
    if (key == kFieldNames[f]) return static_cast<Field>(f);
  }
  return kUnknown;
}

class RecordReader {
 public:
  // The vector's components are appended to floats when given, else to the record's vector.
  explicit RecordReader(std::string_view bytes, std::vector<float>* floats = nullptr)
      : r_(bytes), floats_(floats) {}

  bool read(Record& rec) {
    const int c = r_.peek_ws();
    if (c < 0) return r_.fail_peeked(json_internal::kEofValue);
    bool ok;
    if (c == '{') {
      ok = read_object(rec);
    } else if (c == '[') {
      ok = read_array(rec);
    } else {
      ok = r_.peek_invalid_type("struct Record");
    }
    return ok && r_.expect_end();
  }

  JsonError take_error() { return r_.take_error(); }

 private:
  bool read_object(Record& rec) {
    r_.eat();
    bool seen[kFieldCount] = {};
    for (bool first = true;; first = false) {
      const int c = r_.next_element(first, '}');
      if (c == Reader::kClosed) break;
      if (c == Reader::kFailed) return false;
      if (c != '"') return r_.fail_peeked(json_internal::kKeyMustBeString);
      r_.eat();
      std::string_view key;
      if (!r_.parse_string(key)) return false;
      const Field field = field_of(key);
      if (field != kUnknown && seen[field]) {
        // Reported where the reader stops looking: past the whitespace, before the colon.
        r_.peek_ws();
        return r_.fail_consumed("duplicate field `" + std::string(kFieldNames[field]) + "`");
      }
      const int colon = r_.peek_ws();
      if (colon < 0) return r_.fail_peeked(json_internal::kEofObject);
      if (colon != ':') return r_.fail_peeked(json_internal::kExpectedColon);
      r_.eat();
      if (field == kUnknown) {
        if (!r_.skip_value()) return false;
        continue;
      }
      seen[field] = true;
      if (!read_field(field, rec)) return false;
    }
    r_.eat();  // '}'
    if (!seen[kId]) return r_.fail_consumed("missing field `id`");
    if (!seen[kVector]) return r_.fail_consumed("missing field `vector`");
    return true;
  }

  bool read_array(Record& rec) {
    r_.eat();
    for (int i = 0; i < kFieldCount; ++i) {
      const int c = r_.next_element(i == 0, ']');
      if (c == Reader::kClosed) {
        r_.eat();
        return r_.fail_consumed("invalid length " + std::to_string(i) +
                                ", expected struct Record with 4 elements");
      }
      if (c == Reader::kFailed) return false;
      if (!read_field(static_cast<Field>(i), rec)) return false;
    }
    const int c = r_.peek_ws();
    if (c == ']') {
      r_.eat();
      return true;
    }
    if (c < 0) return r_.fail_peeked(json_internal::kEofList);
    if (c == ',') {
      r_.eat();
      if (r_.peek_ws() == ']') return r_.fail_peeked(json_internal::kTrailingComma);
    }
    return r_.fail_peeked(json_internal::kTrailingCharacters);
  }

  bool read_field(Field field, Record& rec) {
    switch (field) {
      case kId: return read_id(rec.id);
      case kVector: return read_vector(floats_ != nullptr ? *floats_ : rec.vector);
      case kMetadata: return read_metadata(rec.metadata);
      case kTimestamp: return read_timestamp(rec.timestamp);
      default: return false;
    }
  }

  bool read_id(std::string& id) {
    const int c = r_.peek_ws();
    if (c < 0) return r_.fail_peeked(json_internal::kEofValue);
    if (c != '"') return r_.peek_invalid_type("a string");
    r_.eat();
    std::string_view s;
    if (!r_.parse_string(s)) return false;
    id.assign(s);
    return true;
  }

  bool read_vector(std::vector<float>& vec) {
    int c = r_.peek_ws();
    if (c < 0) return r_.fail_peeked(json_internal::kEofValue);
    if (c != '[') return r_.peek_invalid_type("a sequence");
    r_.eat();
    // Size a record's own vector once: components hold no brackets, so the first ']' ends them
    // (in a row that is malformed the count is merely a poor guess). A buffer many rows share
    // grows geometrically as it is, and counting would cost a pass over every row.
    if (floats_ == nullptr && r_.peek_ws() != ']') {
      const char* close =
          static_cast<const char*>(std::memchr(r_.pos(), ']', r_.end() - r_.pos()));
      if (close != nullptr) {
        const std::size_t need =
            vec.size() + static_cast<std::size_t>(std::count(r_.pos(), close, ',')) + 1;
        if (need > vec.capacity()) vec.reserve(need);
      }
    }
    for (bool first = true;; first = false) {
      c = r_.next_element(first, ']');
      if (c == Reader::kClosed) break;
      if (c == Reader::kFailed) return false;
      // The writer's own compact literals, the bulk of every row, are read as a run, up to the
      // separator before the first element the run does not take (or the closing bracket).
      if (const char* run_end = float_text::read_plain_f32_run(r_.pos(), r_.end(), vec);
          run_end != r_.pos()) {
        r_.move_to(run_end);
        continue;
      }
      float plain;
      if (const char* after = float_text::read_plain_f32(r_.pos(), r_.end(), plain)) {
        vec.push_back(plain);
        r_.move_to(after);
        continue;
      }
      const bool positive = c != '-';
      if (!positive) {
        r_.eat();
      } else if (!json_internal::is_digit(c)) {
        return r_.peek_invalid_type("f32");
      }
      Number n;
      if (!r_.parse_number(positive, n)) return false;
      switch (n.kind) {
        // Both integer conversions round to nearest directly, not through a double.
        case Number::Kind::UInt: vec.push_back(static_cast<float>(n.u)); break;
        case Number::Kind::Int: vec.push_back(static_cast<float>(n.i)); break;
        case Number::Kind::Float: vec.push_back(static_cast<float>(n.d)); break;
      }
    }
    r_.eat();  // ']'
    return true;
  }

  bool read_metadata(std::optional<Value>& metadata) {
    if (r_.peek_ws() == 'n') {
      r_.eat();
      if (!r_.parse_ident("ull")) return false;
      metadata.reset();
      return true;
    }
    Value v;
    if (!r_.parse_value(v, 1)) return false;
    metadata = std::move(v);
    return true;
  }

  bool read_timestamp(std::optional<std::uint64_t>& timestamp) {
    const int c = r_.peek_ws();
    if (c == 'n') {
      r_.eat();
      if (!r_.parse_ident("ull")) return false;
      timestamp.reset();
      return true;
    }
    if (c < 0) return r_.fail_peeked(json_internal::kEofValue);
    const bool positive = c != '-';
    if (!positive) {
      r_.eat();
    } else if (!json_internal::is_digit(c)) {
      return r_.peek_invalid_type("u64");
    }
    Number n;
    if (!r_.parse_number(positive, n)) return false;
    switch (n.kind) {
      case Number::Kind::UInt: timestamp = n.u; return true;
      case Number::Kind::Int:
        return r_.fail_consumed("invalid value: integer `" + std::to_string(n.i) +
                                "`, expected u64");
      case Number::Kind::Float: {
        std::string unexp = "floating point `";
        write_f64(n.d, unexp);
        unexp += '`';
        return r_.fail_invalid_type(unexp, "u64");
      }
    }
    return false;
  }

  Reader r_;
  std::vector<float>* floats_;
};

// The sum of x * x in the metrics' blocked order: eight lane accumulators over whole blocks of
// eight, added pairwise, then the tail one at a time, every step rounded to float. The metrics
// live in the index layer, which sits beside this one, not beneath it, so the one computation of
// theirs that a stored record needs is written here again, plainly; a core test holds it to the
// index's own sum, overflow for overflow.
float blocked_sum_of_squares(std::span<const float> v) {
  float acc[8] = {};
  const std::size_t blocks = v.size() / 8;
  for (std::size_t i = 0; i < blocks; ++i) {
    for (std::size_t j = 0; j < 8; ++j) {
      const float x = v[8 * i + j];
      const float sq = x * x;
      acc[j] = acc[j] + sq;
    }
  }
  float total = (((acc[0] + acc[1]) + acc[2]) + acc[3]) + (((acc[4] + acc[5]) + acc[6]) + acc[7]);
  for (std::size_t i = 8 * blocks; i < v.size(); ++i) {
    const float sq = v[i] * v[i];
    total = total + sq;
  }
  return total;
}

}  // namespace

Result<std::string, JsonError> encode_record(const Record& record) {
  std::string out;
  if (auto encoded = encode_record_into(record, out); !encoded) return std::move(encoded).error();
  return out;
}

Result<void, JsonError> encode_record_into(const Record& record, std::string& out) {
  return encode_record_into(record, record.vector, out);
}

Result<void, JsonError> encode_record_into(const Record& record, std::span<const float> vector,
                                           std::string& out) {
  // A row the reader would refuse makes every later open of the file fail, so such a record is
  // refused here instead of being written.
  for (std::size_t i = 0; i < vector.size(); ++i) {
    if (!std::isfinite(vector[i])) {
      return JsonError{"cannot store non-finite vector component at index " + std::to_string(i)};
    }
  }
  // Every metric that normalises takes this sum; were it infinite, the record would score NaN
  // against every query, itself included, and could never be found.
  if (!std::isfinite(blocked_sum_of_squares(vector))) {
    return JsonError{"cannot store vector whose sum of squares is not finite"};
  }
  if (record.metadata && nests_deeper_than(*record.metadata, kMaxMetadataDepth)) {
    return JsonError{"cannot store metadata nested deeper than " +
                     std::to_string(kMaxMetadataDepth) + " levels"};
  }
  if (record.metadata && holds_non_finite(*record.metadata)) {
    return JsonError{"cannot store non-finite metadata number"};
  }
  if (!json_internal::valid_utf8(record.id) || (record.metadata && holds_invalid_text(*record.metadata))) {
    return JsonError{"cannot store text that is not valid UTF-8"};
  }

  out.clear();
  out += "{\"id\":";
  write_json_string(record.id, out);
  out += ",\"vector\":[";
  // The components straight into room made for the longest text each can take, then trimmed.
  const std::size_t at = out.size();
  out.resize(at + (float_text::kMaxF32Text + 1) * vector.size());
  char* w = out.data() + at;
  for (std::size_t i = 0; i < vector.size(); ++i) {
    if (i > 0) *w++ = ',';
    w = float_text::write_f32_text(vector[i], w);
  }
  out.resize(static_cast<std::size_t>(w - out.data()));
  out += "],\"metadata\":";
  if (record.metadata) {
    write_json(*record.metadata, out);
  } else {
    out += "null";
  }
  out += ",\"timestamp\":";
  if (record.timestamp) {
    out += std::to_string(*record.timestamp);
  } else {
    out += "null";
  }
  out += '}';
  return {};
}

Result<Record, JsonError> decode_record(std::string_view bytes) {
  RecordReader reader(bytes);
  Record rec;
  if (!reader.read(rec)) return reader.take_error();
  return rec;
}

Result<void, JsonError> decode_record_into(std::string_view bytes, Record& record,
                                           std::vector<float>& floats) {
  const std::size_t base = floats.size();
  RecordReader reader(bytes, &floats);
  if (!reader.read(record)) {
    floats.resize(base);
    return reader.take_error();
  }
  return {};
}

}  // namespace korvane_storage
