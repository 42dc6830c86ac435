#include <gtest/gtest.h>
#include "storage/record.h"
TEST(Record, Smoke) { EXPECT_TRUE(korvane_storage::decode_record("{\"id\":\"a\",\"vector\":[]}").ok()); }
