// libFuzzer target: the JSON reader and writer.
//
// Any input either fails to read, or reads to a value whose compact text reads back to the same
// value and is written again byte for byte the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "storage/json.h"

using namespace korvane_storage;

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "%s: %s\n", what, text.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  auto value = parse_json(input);
  if (!value) {
    if (value.error().message.empty()) fail("error without a message", std::string(input));
    return 0;
  }
  const std::string text = to_json(*value);
  auto again = parse_json(text);
  if (!again) fail("written text does not read back", text + " -> " + again.error().message);
  if (!(*again == *value)) fail("value changed on the way back", text);
  if (to_json(*again) != text) fail("writer is not stable", text);
  return 0;
}
