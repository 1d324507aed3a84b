// Several host threads calling at once: the calls are serialised and each
// gets the reply to its own request. Also run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "NalPoiComm.h"
#include "support/exchange_cases.h"
#include "support/install_tree.h"
#include "support/replies.h"
#include "support/test_http_server.h"

using namespace testsupport;

namespace {

// The text between <name> and </name> in a request document.
std::string Element(const std::string& document, const std::string& name) {
    const std::size_t start = document.find("<" + name + ">");
    const std::size_t end = document.find("</" + name + ">");
    if (start == std::string::npos || end == std::string::npos) return {};
    return document.substr(start + name.size() + 2, end - start - name.size() - 2);
}

}  // namespace

TEST(Concurrency, SimultaneousCallsAreSerialisedAndGetTheirOwnReplies) {
    TestHttpServer server;
    server.SetRouter([](const RecordedRequest& request) -> std::optional<ReplyScript> {
        const std::string document = FromBase64(request.body);
        if (document.find("<Bat>") != std::string::npos) {
            return AnswerWith("<Bat><NumA Add=\"1\"><H><ID>" + Element(document, "Time") +
                              "</ID></H></NumA><Time>" + Element(document, "Time") + "</Time></Bat>");
        }
        return AnswerWith("<r><Tel>" + Element(document, "ID") + "</Tel><Con>" +
                          Element(document, "Name") + "</Con></r>");
    });
    WriteServiceConfig(server.Url());

    constexpr int kThreads = 4;
    constexpr int kCallsEach = 5;
    std::atomic<int> wrong{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < kThreads; ++t) {
        hosts.emplace_back([t, &wrong] {
            for (int i = 0; i < kCallsEach; ++i) {
                const std::string tag = std::to_string(t) + "-" + std::to_string(i);
                ExchangeCall call;
                call.batch = t % 2 != 0;
                call.type = call.batch ? "2" : "1";
                call.time = call.batch ? tag : "";
                call.id = tag;
                call.name = "n" + tag;
                const CallOutcome outcome = MakeCall(call);
                const auto& f = outcome.fields;
                const bool own = call.batch ? f.at("add.size") == "1" && f.at("add0.ID") == tag &&
                                                  f.at("Time") == tag && f.at("NumA") == "1"
                                            : f.at("Tel") == tag && f.at("Con") == "n" + tag;
                if (outcome.result != 1 || !own) ++wrong;
            }
        });
    }
    for (auto& host : hosts) host.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(server.Requests().size(), static_cast<std::size_t>(kThreads * kCallsEach));
}
