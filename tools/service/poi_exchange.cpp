#include "poi_exchange.h"

#include <optional>
#include <stdexcept>
#include <vector>

#include "reply_documents.h"

namespace nalpoicomm {
namespace service {
namespace {

// The revisions after `since`, whole time stamps at a time, oldest first,
// as many as one reply holds.
std::string BatchDocument(const std::string& since, PoiDatabase& db) {
    BatchReplyDocument reply(since);
    std::vector<HotelRevision> group;
    bool full = false;
    // A group that no reply can hold whole is sent in part rather than
    // blocking every later revision; the rest of it is skipped.
    const auto add_group = [&]() {
        if (!reply.AddGroup(group)) {
            if (reply.empty()) reply.AddWhatFits(group);
            full = true;
        }
        group.clear();
    };
    db.VisitRevisionsAfter(since, [&](const HotelRevision& revision) {
        if (!group.empty() && group.front().time != revision.time) {
            add_group();
            if (full) return false;
        }
        group.push_back(revision);
        return true;
    });
    if (!full) add_group();
    return reply.Document();
}

}  // namespace

ExchangeOutcome AnswerRequest(const std::string& request_body, PoiDatabase& db) {
    const DecodedRequest request = DecodeRequest(request_body);
    ExchangeOutcome outcome;
    outcome.kind = request.kind;
    std::string document;
    switch (request.kind) {
        case RequestKind::kUpdate: {
            outcome.id = request.id;
            if (!request.understood) {
                outcome.status = "2";
                document = UpdateNotUnderstoodDocument();
                break;
            }
            const std::optional<Poi> poi = db.FindPoi(request.id);
            outcome.status = poi ? "1" : "0";
            document = poi ? UpdateFoundDocument(*poi) : UpdateUnknownIdDocument();
            break;
        }
        case RequestKind::kBatch:
            outcome.status = request.understood ? "1" : "0";
            document = request.understood ? BatchDocument(request.time, db)
                                          : BatchNotUnderstoodDocument();
            break;
        case RequestKind::kUnknown:
            outcome.status = "2/0";
            document = KindUnknownDocument();
            break;
    }
    outcome.body = EncodeReplyBody(document);
    // The store's column limits keep every reply within the client's
    // Content-Length gate; a reply past it would only be refused.
    if (outcome.body.size() > kMaxReplyBodyBytes) {
        throw std::length_error("reply of " + std::to_string(outcome.body.size()) +
                                " bytes exceeds the client's limit");
    }
    return outcome;
}

}  // namespace service
}  // namespace nalpoicomm
