// The boundary records' layout as hosts compile against it: every field's
// offset and declared type, and every record's size and alignment, for
// 4-byte pointers (the device's 32-bit ABI, i686) and 8-byte pointers (LP64,
// LLP64). One table, read at compile time by record_layout_check.cpp and at
// run time by record_layout_test.cpp.
#ifndef NALPOICOMM_TESTS_LAYOUT_RECORD_LAYOUTS_H
#define NALPOICOMM_TESTS_LAYOUT_RECORD_LAYOUTS_H

#include "NalPoiComm.h"

// X(record, field, offset with 4-byte pointers, offset with 8-byte pointers, type)
// The added and updated hotels share one layout.
#define NALPOI_HOTEL_FIELDS(X, record)                           \
    X(record, ID, 0, 0, char[50])                                \
    X(record, Tel, 50, 50, char[20])                             \
    X(record, Con, 72, 72, char*)                                \
    X(record, Addr, 76, 80, char[50])                            \
    X(record, HN, 126, 130, char[100])                           \
    X(record, Pri, 226, 230, __PRIITEM__[3])

// 32-bit: Con right after Tel at 20; 64-bit: Con aligned up to 24, so the
// content fields after it shift by 8. In the hotels Tel ends at 70 and both
// widths align Con up to 72; the fields after it shift by 4 on 64-bit.
#define NALPOI_RECORD_FIELDS(X)                                  \
    X(__PRIITEM__, Name, 0, 0, char[64])                         \
    X(__PRIITEM__, Mark, 64, 64, char[10])                       \
    X(__PRIITEM__, Agr, 74, 74, char[10])                        \
    X(__PRIITEM__, Bref, 84, 84, char[10])                       \
    X(__POIINFO__, Type, 0, 0, char[5])                          \
    X(__POIINFO__, Time, 5, 5, char[20])                         \
    X(__POIINFO__, ID, 25, 25, char[50])                         \
    X(__POIINFO__, Name, 75, 75, char[100])                      \
    X(__POIINFO2__, Type, 0, 0, char[5])                         \
    X(__POIINFO2__, Time, 5, 5, char[20])                        \
    X(__POICONTENT__, Tel, 0, 0, char[20])                       \
    X(__POICONTENT__, Con, 20, 24, char*)                        \
    X(__POICONTENT__, Addr, 24, 32, char[50])                    \
    X(__POICONTENT__, Time, 74, 82, char[20])                    \
    X(__POICONTENT__, Pri, 94, 102, __PRIITEM__[3])              \
    X(__POICONTENT__, Reserved, 376, 384, char[4])               \
    NALPOI_HOTEL_FIELDS(X, __ADDHOTEL__)                         \
    NALPOI_HOTEL_FIELDS(X, __UPDHOTEL__)                         \
    X(__DELHOTEL__, ID, 0, 0, char[50])                          \
    X(__DELHOTEL__, HN, 50, 50, char[100])                       \
    X(__HOTELNUM__, NumA, 0, 0, int)                             \
    X(__HOTELNUM__, NumD, 4, 4, int)                             \
    X(__HOTELNUM__, NumU, 8, 8, int)

// X(record, size with 4-byte pointers, size with 8-byte pointers, alignment)
#define NALPOI_RECORD_SIZES(X)                                   \
    X(__PRIITEM__, 94, 94, 1)                                    \
    X(__POIINFO__, 175, 175, 1)                                  \
    X(__POIINFO2__, 25, 25, 1)                                   \
    X(__POICONTENT__, 380, 392, alignof(char*))                  \
    X(__ADDHOTEL__, 508, 512, alignof(char*))                    \
    X(__UPDHOTEL__, 508, 512, alignof(char*))                    \
    X(__DELHOTEL__, 150, 150, 1)                                 \
    X(__HOTELNUM__, 12, 12, alignof(int))

namespace nalpoi_layout {

constexpr bool kNarrowPointers = sizeof(void*) == 4;

constexpr unsigned long Pick(unsigned long narrow, unsigned long wide) {
    return kNarrowPointers ? narrow : wide;
}

}  // namespace nalpoi_layout

#endif
