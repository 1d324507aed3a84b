// Compile-time pin of the boundary records' layout, as a host compiled
// against NalPoiComm.h sees it. A host built by another compiler finds every
// field by these offsets, so any drift here breaks the calling interface.
//
// The same file is compiled for 4-byte pointers (i686-linux-gnu-g++, the device's
// 32-bit ABI) and for 8-byte pointers (g++ -m64, LP64; mingw-w64, LLP64); it
// picks the expected column of record_layouts.h by sizeof(void*).
// Syntax-only compilation is enough: nothing here runs.
#include "NalPoiComm.h"
#include "record_layouts.h"

#include <climits>
#include <cstddef>
#include <type_traits>

static_assert(CHAR_BIT == 8, "text fields are 8-bit");
static_assert(sizeof(int) * CHAR_BIT == 32, "result codes and counts are 32-bit int");
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "only 4- and 8-byte pointers are pinned");

// Offset and exact declared type of one field: a text field must stay an
// array of plain char of exactly its width.
#define PIN_FIELD(record, field, narrow, wide, type)                           \
    static_assert(offsetof(record, field) == nalpoi_layout::Pick(narrow, wide), \
                  #record "::" #field " moved");                               \
    static_assert(std::is_same_v<decltype(record::field), type>,               \
                  #record "::" #field " changed type or width");

#define PIN_RECORD(record, narrow, wide, alignment)                            \
    static_assert(sizeof(record) == nalpoi_layout::Pick(narrow, wide),         \
                  #record " changed size");                                    \
    static_assert(alignof(record) == (alignment), #record " changed alignment"); \
    static_assert(std::is_standard_layout_v<record>,                           \
                  #record " must stay standard-layout");                       \
    static_assert(std::is_trivially_copyable_v<record>,                        \
                  #record " is copied bytewise");

NALPOI_RECORD_FIELDS(PIN_FIELD)
NALPOI_RECORD_SIZES(PIN_RECORD)

static_assert(sizeof(__PRIITEM__[3]) == 282, "Pri array is 282 bytes");

// The two hotel types stay distinct but interchangeable byte for byte.
static_assert(!std::is_same_v<__ADDHOTEL__, __UPDHOTEL__>, "hotel types are distinct");
#define SAME_HOTEL_OFFSET(field)                                               \
    static_assert(offsetof(__ADDHOTEL__, field) == offsetof(__UPDHOTEL__, field), \
                  "__ADDHOTEL__ and __UPDHOTEL__ differ at " #field)
SAME_HOTEL_OFFSET(ID);
SAME_HOTEL_OFFSET(Tel);
SAME_HOTEL_OFFSET(Con);
SAME_HOTEL_OFFSET(Addr);
SAME_HOTEL_OFFSET(HN);
SAME_HOTEL_OFFSET(Pri);
static_assert(sizeof(__ADDHOTEL__) == sizeof(__UPDHOTEL__), "hotel types differ in size");

// The named result codes are the values hosts compare against.
static_assert(NALPOI_RESULT_OK == 1 && NALPOI_RESULT_UPDATE_STATUS_0 == 219 &&
                  NALPOI_RESULT_UPDATE_STATUS_2 == 620 && NALPOI_RESULT_BATCH_STATUS_0 == 218 &&
                  NALPOI_RESULT_NO_ELEMENT == -1 && NALPOI_RESULT_EXCHANGE_FAILED == -2 &&
                  NALPOI_RESULT_NO_REPLY == -3 && NALPOI_RESULT_NO_CONTENT_RECORD == -4 &&
                  NALPOI_RESULT_TIMED_OUT == -9,
              "a result code changed its value");

// Both operations keep the signatures that hosts link against.
static_assert(std::is_same_v<decltype(&SendUpdateRequest),
                             int (*)(__POIINFO__&, __POICONTENT__&)>,
              "SendUpdateRequest signature changed");
static_assert(std::is_same_v<decltype(&RevBatch),
                             int (*)(__POIINFO2__&, std::vector<__ADDHOTEL__>&,
                                     std::vector<__DELHOTEL__>&,
                                     std::vector<__UPDHOTEL__>&, __HOTELNUM__&)>,
              "RevBatch signature changed");
