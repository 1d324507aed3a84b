#include "result_meanings.h"

namespace nalpoicomm {

const char* OperationName(Operation operation) {
    return operation == Operation::Update ? "update" : "batch";
}

const char* ResultMeaning(Operation operation, int result) {
    const bool update = operation == Operation::Update;
    switch (result) {
        case 1:
            return update ? "reply read, content filled"
                          : "reply taken, revisions and new time stamp received";
        case 219:
            if (update) return "no POI with that ID: the reply's Status is \"0\"";
            break;
        case 620:
            if (update) {
                return "the service did not understand the request: the reply's Status is \"2\"";
            }
            break;
        case 218:
            if (!update) {
                return "the service did not understand the request: the reply's Status is \"0\"";
            }
            break;
        case -1:
            return "the decoded reply holds no XML element";
        case -2:
            return "the exchange failed: no usable service configuration, no connection, failed "
                   "send, missing or out-of-range Content-Length, or unusable reply text";
        case -3:
            return "the exchange reported success but left no reply text";
        case -4:
            if (update) return "the content record's address is null";
            break;
        case -9:
            return update ? "no reply within 20 s" : "no reply within 60 s";
        default:
            break;
    }
    return "unknown result code";
}

}  // namespace nalpoicomm
