#include "targets/fuzz_targets.h"

namespace nalpoifuzz {

const FuzzTarget* AllTargets(std::size_t& count) {
    static const FuzzTarget targets[] = {
        {"base64_decode", FuzzBase64Decode}, {"update_reply", FuzzUpdateReply},
        {"batch_reply", FuzzBatchReply},     {"service_config", FuzzServiceConfig},
        {"crack_url", FuzzCrackUrl},         {"exchange", FuzzExchange},
    };
    count = sizeof targets / sizeof targets[0];
    return targets;
}

}  // namespace nalpoifuzz
