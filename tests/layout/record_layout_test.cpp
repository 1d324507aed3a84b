// The record layout at run time, printed and checked against the table that
// hosts compile against: the program of each target (Linux, x86_64 and i686
// Windows) reports what its compiler made of NalPoiComm.h.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>

#include "record_layouts.h"

namespace {

struct Measured {
    const char* record;
    const char* field;  // "" for the record's own size
    unsigned long actual, expected;
};

#define NALPOI_FIELD_ROW(record, field, narrow, wide, type) \
    {#record, #field, offsetof(record, field), nalpoi_layout::Pick(narrow, wide)},
#define NALPOI_SIZE_ROW(record, narrow, wide, alignment) \
    {#record, "", sizeof(record), nalpoi_layout::Pick(narrow, wide)},

}  // namespace

TEST(RecordLayout, SizesAndOffsetsAreThoseHostsCompileAgainst) {
    const Measured rows[] = {NALPOI_RECORD_SIZES(NALPOI_SIZE_ROW) NALPOI_RECORD_FIELDS(NALPOI_FIELD_ROW)};
    std::printf("record layout with %u-byte pointers:\n", static_cast<unsigned>(sizeof(void*)));
    for (const Measured& row : rows) {
        std::printf("  %-15s %-9s %4s %lu\n", row.record, row.field, *row.field ? "at" : "size",
                    row.actual);
        EXPECT_EQ(row.actual, row.expected) << row.record << "::" << row.field;
    }
}
