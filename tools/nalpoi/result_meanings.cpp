#include "result_meanings.h"

namespace nalpoicomm {

const char* OperationName(Operation operation) {
    return operation == Operation::Update ? "update" : "batch";
}

const char* ResultMeaning(Operation operation, int result) {
    const bool update = operation == Operation::Update;
    switch (result) {
        case NALPOI_RESULT_OK:
            return update ? "reply read, content filled"
                          : "reply taken, revisions and new time stamp received";
        case NALPOI_RESULT_UPDATE_STATUS_0:
            if (update) return "no POI with that ID: the reply's Status is \"0\"";
            break;
        case NALPOI_RESULT_UPDATE_STATUS_2:
            if (update) {
                return "the service did not understand the request: the reply's Status is \"2\"";
            }
            break;
        case NALPOI_RESULT_BATCH_STATUS_0:
            if (!update) {
                return "the service did not understand the request: the reply's Status is \"0\"";
            }
            break;
        case NALPOI_RESULT_NO_ELEMENT:
            return "the decoded reply holds no XML element";
        case NALPOI_RESULT_EXCHANGE_FAILED:
            return "the exchange failed: no usable service configuration, no connection, failed "
                   "send, missing or out-of-range Content-Length, or unusable reply text";
        case NALPOI_RESULT_NO_REPLY:
            return "the exchange reported success but left no reply text";
        case NALPOI_RESULT_NO_CONTENT_RECORD:
            if (update) return "the content record's address is null";
            break;
        case NALPOI_RESULT_TIMED_OUT:
            return update ? "no reply within 20 s" : "no reply within 60 s";
        default:
            break;
    }
    return "unknown result code";
}

}  // namespace nalpoicomm
