// The reply documents of the protocol, as exact bytes, and their base64
// body. Texts are escaped (&amp; &lt; &gt;); the documents hold no white
// space between elements.
#ifndef NALPOI_SERVICE_REPLY_DOCUMENTS_H
#define NALPOI_SERVICE_REPLY_DOCUMENTS_H

#include <cstddef>
#include <string>
#include <vector>

#include "nalpoicomm_seam.h"
#include "poi_records.h"

namespace nalpoicomm {
namespace service {

// Longest body the client takes (30719 bytes): its reply store's, less the
// terminator.
constexpr std::size_t kMaxReplyBodyBytes = kReplyStoreSize - 1;

// Update replies (root Poi).
std::string UpdateFoundDocument(const Poi& poi);
std::string UpdateUnknownIdDocument();        // Status 0
std::string UpdateNotUnderstoodDocument();    // Status 2

// Batch reply for a request that was not understood (root Bat, Status 0).
std::string BatchNotUnderstoodDocument();

// For a request whose kind cannot be told: Status 2 and then Status 0, so
// that an update client stops at the first (620) and a batch client, which
// passes over a "2", stops at the second (218).
std::string KindUnknownDocument();

// The body sent for `document`: base64 in lines of 60 characters, CR LF
// between lines, none after the last.
std::string EncodeReplyBody(const std::string& document);

// Bytes EncodeReplyBody gives for a document of `document_bytes` bytes.
std::size_t EncodedReplyBytes(std::size_t document_bytes);

// A batch reply (root Bat, Status 1) filled one time stamp at a time, oldest
// first, for as long as the encoded body stays within kMaxReplyBodyBytes.
// Its Time is the newest time stamp taken, or `since` while none is.
class BatchReplyDocument {
public:
    explicit BatchReplyDocument(std::string since);

    // Takes every revision of `group` (all of one time stamp) or, when the
    // body would grow past the limit, none of them and returns false.
    bool AddGroup(const std::vector<HotelRevision>& group);

    // For a group that does not fit even an empty reply: takes its
    // revisions in order while they fit, and returns how many it took.
    std::size_t AddWhatFits(const std::vector<HotelRevision>& group);

    bool empty() const {
        return sections_.added_count + sections_.deleted_count + sections_.updated_count == 0;
    }
    const std::string& time() const { return time_; }

    std::string Document() const;

private:
    struct Sections {
        std::string added, deleted, updated;   // item elements, back to back
        int added_count = 0, deleted_count = 0, updated_count = 0;
    };
    static void Append(Sections& sections, const HotelRevision& revision);
    static std::string Render(const std::string& time, const Sections& sections);
    static bool Fits(const std::string& time, const Sections& sections);

    std::string time_;
    Sections sections_;
};

}  // namespace service
}  // namespace nalpoicomm

#endif
