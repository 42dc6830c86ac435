// libFuzzer target: the stored row decoder and the record encoder.
//
// Any row either fails to decode, or decodes to a record that the encoder refuses for one of its
// documented reasons, or encodes to a row that decodes to the same record (vector bits
// included) and encodes again byte for byte the same.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "storage/record.h"

using namespace korvane_storage;

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", what, text.c_str());
  std::abort();
}

bool same(const Record& a, const Record& b) {
  auto bits = [](float f) { return std::bit_cast<std::uint32_t>(f); };
  return a.id == b.id &&
         std::equal(a.vector.begin(), a.vector.end(), b.vector.begin(), b.vector.end(),
                    [&](float x, float y) { return bits(x) == bits(y); }) &&
         a.metadata == b.metadata && a.timestamp == b.timestamp;
}

bool known_refusal(const std::string& message) {
  for (const char* reason : {"cannot store non-finite vector component at index ",
                             "cannot store vector whose sum of squares is not finite",
                             "cannot store metadata nested deeper than ",
                             "cannot store text that is not valid UTF-8"}) {
    if (message.rfind(reason, 0) == 0) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view row(reinterpret_cast<const char*>(data), size);
  auto record = decode_record(row);
  if (!record) {
    if (record.error().message.empty()) fail("error without a message", std::string(row));
    return 0;
  }
  auto text = encode_record(*record);
  if (!text) {
    if (!known_refusal(text.error().message)) fail("unexpected refusal", text.error().message);
    return 0;
  }
  auto back = decode_record(*text);
  if (!back) fail("encoded row does not decode", *text + " -> " + back.error().message);
  if (!same(*back, *record)) fail("record changed on the way back", *text);
  auto again = encode_record(*back);
  if (!again || *again != *text) fail("encoder is not stable", *text);
  return 0;
}
