// Compile-time pin of the boundary records' layout, as a host compiled
// against NalPoiComm.h sees it. A host built by another compiler finds every
// field by these offsets, so any drift here breaks the calling interface.
//
// The same file is compiled for 4-byte pointers (g++ -m32, the device's
// 32-bit ABI) and for 8-byte pointers (g++ -m64, LP64; mingw-w64, LLP64); it
// picks the expected table by sizeof(void*). Syntax-only compilation is
// enough: nothing here runs.
#include "NalPoiComm.h"

#include <climits>
#include <cstddef>
#include <type_traits>

static_assert(CHAR_BIT == 8, "text fields are 8-bit");
static_assert(sizeof(int) * CHAR_BIT == 32, "result codes and counts are 32-bit int");
static_assert(sizeof(void*) == 4 || sizeof(void*) == 8, "only 4- and 8-byte pointers are pinned");

namespace {

constexpr bool kNarrowPointers = sizeof(void*) == 4;

// Offsets that move with the pointer width; everything not listed here is the
// same for both widths.
struct ContentLayout {
    std::size_t con, addr, time, pri, reserved, size;
};
struct HotelLayout {
    std::size_t con, addr, hn, pri, size;
};

// 32-bit: Con right after Tel at 20; 64-bit: Con aligned up to 24, so the
// fields after it shift by 8 and the size rounds up to a multiple of 8.
constexpr ContentLayout kContent = kNarrowPointers
    ? ContentLayout{20, 24, 74, 94, 376, 380}
    : ContentLayout{24, 32, 82, 102, 384, 392};

// Tel ends at 70 and both widths align Con up to 72; the fields after it
// shift by 4 on 64-bit, giving 512, already a multiple of 8.
constexpr HotelLayout kHotel = kNarrowPointers
    ? HotelLayout{72, 76, 126, 226, 508}
    : HotelLayout{72, 80, 130, 230, 512};

}  // namespace

// Offset and exact declared type of one field: a text field must stay an
// array of plain char of exactly its width.
#define PIN_FIELD(record, field, offset, type)                                 \
    static_assert(offsetof(record, field) == (offset),                         \
                  #record "::" #field " moved");                               \
    static_assert(std::is_same_v<decltype(record::field), type>,               \
                  #record "::" #field " changed type or width")

#define PIN_RECORD(record, size, alignment)                                    \
    static_assert(sizeof(record) == (size), #record " changed size");          \
    static_assert(alignof(record) == (alignment), #record " changed alignment"); \
    static_assert(std::is_standard_layout_v<record>,                           \
                  #record " must stay standard-layout");                       \
    static_assert(std::is_trivially_copyable_v<record>,                        \
                  #record " is copied bytewise")

// __PRIITEM__: 94 bytes, no gaps; three form a 282-byte Pri array.
PIN_FIELD(__PRIITEM__, Name, 0, char[64]);
PIN_FIELD(__PRIITEM__, Mark, 64, char[10]);
PIN_FIELD(__PRIITEM__, Agr, 74, char[10]);
PIN_FIELD(__PRIITEM__, Bref, 84, char[10]);
PIN_RECORD(__PRIITEM__, 94, 1);
static_assert(sizeof(__PRIITEM__[3]) == 282, "Pri array is 282 bytes");

// __POIINFO__: Name is 100 bytes at 75, the width of a hotel name.
PIN_FIELD(__POIINFO__, Type, 0, char[5]);
PIN_FIELD(__POIINFO__, Time, 5, char[20]);
PIN_FIELD(__POIINFO__, ID, 25, char[50]);
PIN_FIELD(__POIINFO__, Name, 75, char[100]);
PIN_RECORD(__POIINFO__, 175, 1);

PIN_FIELD(__POIINFO2__, Type, 0, char[5]);
PIN_FIELD(__POIINFO2__, Time, 5, char[20]);
PIN_RECORD(__POIINFO2__, 25, 1);

PIN_FIELD(__POICONTENT__, Tel, 0, char[20]);
PIN_FIELD(__POICONTENT__, Con, kContent.con, char*);
PIN_FIELD(__POICONTENT__, Addr, kContent.addr, char[50]);
PIN_FIELD(__POICONTENT__, Time, kContent.time, char[20]);
PIN_FIELD(__POICONTENT__, Pri, kContent.pri, __PRIITEM__[3]);
PIN_FIELD(__POICONTENT__, Reserved, kContent.reserved, char[4]);
PIN_RECORD(__POICONTENT__, kContent.size, alignof(char*));

// Added and updated hotels: two types, one table.
#define PIN_HOTEL(record)                                                      \
    PIN_FIELD(record, ID, 0, char[50]);                                        \
    PIN_FIELD(record, Tel, 50, char[20]);                                      \
    PIN_FIELD(record, Con, kHotel.con, char*);                                 \
    PIN_FIELD(record, Addr, kHotel.addr, char[50]);                            \
    PIN_FIELD(record, HN, kHotel.hn, char[100]);                               \
    PIN_FIELD(record, Pri, kHotel.pri, __PRIITEM__[3]);                        \
    PIN_RECORD(record, kHotel.size, alignof(char*))

PIN_HOTEL(__ADDHOTEL__);
PIN_HOTEL(__UPDHOTEL__);

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

PIN_FIELD(__DELHOTEL__, ID, 0, char[50]);
PIN_FIELD(__DELHOTEL__, HN, 50, char[100]);
PIN_RECORD(__DELHOTEL__, 150, 1);

PIN_FIELD(__HOTELNUM__, NumA, 0, int);
PIN_FIELD(__HOTELNUM__, NumD, 4, int);
PIN_FIELD(__HOTELNUM__, NumU, 8, int);
PIN_RECORD(__HOTELNUM__, 12, alignof(int));

// Both operations keep the signatures that hosts link against.
static_assert(std::is_same_v<decltype(&SendUpdateRequest),
                             int (*)(__POIINFO__&, __POICONTENT__&)>,
              "SendUpdateRequest signature changed");
static_assert(std::is_same_v<decltype(&RevBatch),
                             int (*)(__POIINFO2__&, std::vector<__ADDHOTEL__>&,
                                     std::vector<__DELHOTEL__>&,
                                     std::vector<__UPDHOTEL__>&, __HOTELNUM__&)>,
              "RevBatch signature changed");
