// NalPoiComm: client library for exchanging point-of-interest data with a
// remote POI service over HTTP.
//
// Two operations, each one complete synchronous exchange that returns an
// integer result code (tables below). Every record is host-owned, has a fixed
// layout of zero-terminated 8-bit text fields and is passed by reference.
//
// Threading: calls from several threads at once are serialised by one
// process-wide lock held for the whole call; the library serves one exchange
// at a time and a second caller waits (up to the first call's time limit).
//
// Ownership: every non-null `Con` handed back (in __POICONTENT__ or in an
// element of the added/updated lists) was allocated with malloc() and belongs
// to the caller, who releases it with free(). The library never releases a
// `Con` it handed out, and does not look at an old `Con` before it zeroes a
// record: release it before reusing the record.
//
// SendUpdateRequest results:
//    1  reply read, __POICONTENT__ filled
//  219  the reply's Status is "0"
//  620  the reply's Status is "2"
//   -1  the decoded reply holds no element
//   -2  the exchange failed (configuration, connection, send, Content-Length,
//       unusable reply text, or an internal failure)
//   -3  the exchange reported success but left no reply text
//   -4  the __POICONTENT__ argument's address is null
//   -9  no reply within 20000 ms
//
// RevBatch results:
//    1  reply taken: lists appended, Time and counts copied out
//  218  the reply's Status is "0"
//   -1  the decoded reply holds no element
//   -2, -3  as above
//   -9  no reply within 60000 ms
#ifndef NALPOICOMM_H
#define NALPOICOMM_H

#include <vector>

#if defined(_WIN32)
#  if defined(NALPOICOMM_BUILDING)
#    define NALPOICOMM_API __declspec(dllexport)
#  else
#    define NALPOICOMM_API __declspec(dllimport)
#  endif
#else
#  define NALPOICOMM_API __attribute__((visibility("default")))
#endif

// Layout: natural alignment. The offsets noted are those of a 32-bit target;
// with wider pointers `Con` moves to its own alignment, field order and text
// widths stay the same.

// Request of SendUpdateRequest; only read by the library.
struct __POIINFO__ {
    char Type[5];    // offset 0, up to 4 characters
    char Time[20];   // offset 5, up to 19 characters
    char ID[50];     // offset 25, up to 49 characters
    // Offset 75. 100 bytes, the width of the hotel name `HN`, the widest name
    // the protocol carries; the library reads it only up to its zero byte.
    char Name[100];
};

// Request of RevBatch; `Time` is replaced by the reply's time stamp on result 1.
struct __POIINFO2__ {
    char Type[5];    // offset 0
    char Time[20];   // offset 5
};

// One slot of a `Pri` array, 94 bytes.
struct __PRIITEM__ {
    char Name[64];   // offset 0
    char Mark[10];   // offset 64
    char Agr[10];    // offset 74
    char Bref[10];   // offset 84
};

// Reply of SendUpdateRequest, 380 bytes on a 32-bit target.
struct __POICONTENT__ {
    char Tel[20];            // offset 0
    char* Con;               // offset 20; malloc'd text or null, caller frees
    char Addr[50];           // offset 24
    char Time[20];           // offset 74
    __PRIITEM__ Pri[3];      // offset 94
    char Reserved[4];        // offset 376; zeroed, otherwise untouched
};

// Added hotel, 508 bytes on a 32-bit target (2-byte gap before `Con`).
struct __ADDHOTEL__ {
    char ID[50];             // offset 0
    char Tel[20];            // offset 50
    char* Con;               // offset 72; malloc'd text or null, caller frees
    char Addr[50];           // offset 76
    char HN[100];            // offset 126
    __PRIITEM__ Pri[3];      // offset 226
};

// Updated hotel: the same layout as __ADDHOTEL__, a distinct type.
struct __UPDHOTEL__ {
    char ID[50];
    char Tel[20];
    char* Con;
    char Addr[50];
    char HN[100];
    __PRIITEM__ Pri[3];
};

// Deleted hotel, 150 bytes.
struct __DELHOTEL__ {
    char ID[50];             // offset 0
    char HN[100];            // offset 50
};

// Counts announced by a batch reply, 12 bytes, in the order of RevBatch's lists.
struct __HOTELNUM__ {
    int NumA;                // offset 0
    int NumD;                // offset 4
    int NumU;                // offset 8
};

// The result codes by name. Both operations return them as int, so a host
// compares: `if (SendUpdateRequest(query, content) == NALPOI_RESULT_OK)`.
enum NalPoiResult {
    NALPOI_RESULT_OK = 1,                      // both operations
    NALPOI_RESULT_UPDATE_STATUS_0 = 219,       // SendUpdateRequest: Status "0"
    NALPOI_RESULT_UPDATE_STATUS_2 = 620,       // SendUpdateRequest: Status "2"
    NALPOI_RESULT_BATCH_STATUS_0 = 218,        // RevBatch: Status "0"
    NALPOI_RESULT_NO_ELEMENT = -1,             // the decoded reply holds no element
    NALPOI_RESULT_EXCHANGE_FAILED = -2,        // no usable exchange, see above
    NALPOI_RESULT_NO_REPLY = -3,               // success reported, no reply text
    NALPOI_RESULT_NO_CONTENT_RECORD = -4,      // SendUpdateRequest: null record
    NALPOI_RESULT_TIMED_OUT = -9               // the time limit passed
};

// One POI query (20 s limit).
NALPOICOMM_API int SendUpdateRequest(__POIINFO__& query, __POICONTENT__& content);

// One batch-revision query (60 s limit). Appends to the three lists; never
// clears them.
NALPOICOMM_API int RevBatch(__POIINFO2__& query,
                            std::vector<__ADDHOTEL__>& added,
                            std::vector<__DELHOTEL__>& deleted,
                            std::vector<__UPDHOTEL__>& updated,
                            __HOTELNUM__& counts);

#endif  // NALPOICOMM_H
