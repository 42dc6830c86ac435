// Record: the unit korvane stores and searches, and its row format in the database file.
//
// A record is an id (UTF-8 text, the empty string included), a vector of floats (any length),
// optional metadata and an optional timestamp in seconds. Its row is compact JSON, always
//   {"id":<string>,"vector":[<f32>,...],"metadata":<json>|null,"timestamp":<u64>|null}
// (record.cc has the full grammar the reader accepts).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "storage/json.h"
#include "korvane/result.h"
#include "korvane/value.h"

namespace korvane_storage {

struct Record {
  std::string id;
  std::vector<float> vector;
  std::optional<Value> metadata;
  std::optional<std::uint64_t> timestamp;
};

// The record's row text. Fails, writing nothing, when the row could not be read back: a
// non-finite vector component or metadata number, metadata nested deeper than the reader accepts
// inside a record, or text that is not valid UTF-8.
Result<std::string, JsonError> encode_record(const Record& record);
// The same into out, replacing what it held (its capacity is reused); on failure out is
// unspecified.
Result<void, JsonError> encode_record_into(const Record& record, std::string& out);
// The same with vector in place of record.vector, which is not read.
Result<void, JsonError> encode_record_into(const Record& record, std::span<const float> vector,
                                           std::string& out);

// Reads one record from the bytes of one stored row. Metadata `null` reads back as absent.
Result<Record, JsonError> decode_record(std::string_view bytes);

// As decode_record, but the vector's components are appended to floats (and record.vector is
// left alone). On failure floats is as it was.
Result<void, JsonError> decode_record_into(std::string_view bytes, Record& record,
                                           std::vector<float>& floats);

}  // namespace korvane_storage
