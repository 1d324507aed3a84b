// Many exchanges in a row against a local service that answers well and
// badly by turns: descriptors, threads and resident memory must stay flat.
#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NalPoiComm.h"
#include "encoding/request_documents.h"
#include "interface/exchange_sequence.h"
#include "reply/update_reply_parser.h"
#include "support/exchange_cases.h"
#include "support/install_tree.h"
#include "support/record_fields.h"
#include "support/replies.h"
#include "support/test_http_server.h"

using namespace testsupport;

namespace {

constexpr int kCalls = 10000;
constexpr int kBlock = 1000;  // calls per service instance; the first block also warms up caches and arenas
constexpr int kHangEvery = 50;            // 200 time-outs in the run, a few seconds in all
constexpr DWORD kHangLimitMs = 20;        // short: the hang cases only need to pass the limit
// Allocator noise: glibc's arenas settle some 1.3 MiB above the 1,000-call
// level by 7,000 calls, then stay; a leak of 240 bytes a call exceeds this.
constexpr long kRssNoiseKiB = 2048;

struct Usage {
    int descriptors = 0;
    int threads = 0;
    long rssKiB = 0;
};

int OpenDescriptors() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory stream's own descriptor
}

long StatusField(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(name);
    while (std::getline(status, line)) {
        if (line.compare(0, length, name) == 0) return std::atol(line.c_str() + length);
    }
    return -1;
}

Usage Measure() { return {OpenDescriptors(), static_cast<int>(StatusField("Threads:")), StatusField("VmRSS:")}; }

const std::string kUpdateReply =
    "<Poi><Tel>020-5555</Tel><Addr>1 Harbour Road</Addr><Time>2026-12-08 10:00:00</Time>"
    "<Con>Sea view</Con><Pri><P><Name>Double</Name><Agr>120</Agr></P></Pri></Poi>";
const std::string kBatchReply =
    "<R><Time>2026-12-08 10:00:00</Time><NumA Add='2'><I><ID>a1</ID><Con>c1</Con></I>"
    "<I><ID>a2</ID><Con>c2</Con></I></NumA><NumD Del='1'><I><ID>d1</ID></I></NumD>"
    "<NumU Upd='1'><I><ID>u1</ID><Con>u</Con></I></NumU></R>";

std::string Deep(int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "<a>";
    for (int i = 0; i < levels; ++i) text += "</a>";
    return text;
}

// One kind of reply and what each operation makes of it.
struct ReplyKind {
    const char* what;
    bool batch;  // RevBatch, else SendUpdateRequest
    ReplyScript script;
    int expected;
};

std::vector<ReplyKind> Kinds() {
    return {
        {"good update", false, AnswerWith(kUpdateReply), 1},
        {"good batch", true, AnswerWith(kBatchReply), 1},
        {"update status 0", false, AnswerWith("<Poi><Status>0</Status></Poi>"), 219},
        {"batch status 0", true, AnswerWith("<R><Status>0</Status></R>"), 218},
        {"update status 2", false, AnswerWith("<Poi><Tel>1</Tel><Status>2</Status></Poi>"), 620},
        {"no Content-Length", true,
         {ReplyStep::Send(HttpResponseWithLength(200, Base64(kBatchReply), std::nullopt))}, -2},
        // The bytes that did arrive form the reply.
        {"short body", false,
         {ReplyStep::Send(HttpResponseWithLength(200, Base64(kUpdateReply), "4000"))}, 1},
        {"garbage", true, {ReplyStep::Send(HttpResponse(200, "\x01*&^ no (base64) here \x7f"))}, -1},
        {"deep nesting", false, AnswerWith(Deep(200)), -1},
        {"deep nesting", true, AnswerWith(Deep(200)), -1},
    };
}

int Call(bool batch) {
    ExchangeCall call;
    call.batch = batch;
    call.type = batch ? "2" : "1";
    call.id = "P-1";
    return MakeCall(call).result;  // every text handed out is freed, as a host does
}

// The service hangs; the exchange runs under a short limit of its own.
int RunHang() {
    __POIINFO__ query;
    std::memset(&query, 0, sizeof query);
    Put(query.Type, "1");
    __POICONTENT__ content;
    std::memset(&content, 0, sizeof content);
    const int result = nalpoicomm::RunExchangeSequence(
        [&query] { return nalpoicomm::BuildUpdateRequest(query); }, kHangLimitMs,
        [&content](const char* reply) { return nalpoicomm::ParseUpdateReply(reply, ReplyCachePath().c_str(), content); });
    std::free(content.Con);
    return result;
}

// Usage once the service and any worker left by a time-out have wound down.
Usage SettledUsage(const TestHttpServer& server, const Usage& baseline) {
    server.WaitUntilIdle(5000);
    Usage now = Measure();
    for (int i = 0; i < 100 && now.threads > baseline.threads; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        now = Measure();
    }
    return now;
}

TEST(SoakExchanges, TenThousandMixedCallsKeepResourcesFlat) {
    const std::vector<ReplyKind> kinds = Kinds();
    const Usage baseline = Measure();
    // The test service records every request it reads: a fresh one per block
    // keeps its own memory the same at both measurements.
    std::unique_ptr<TestHttpServer> server;

    Usage first;
    int mismatches = 0;
    for (int call = 1; call <= kCalls; ++call) {
        if (call % kBlock == 1) {
            server.reset();
            server = std::make_unique<TestHttpServer>();
            WriteServiceConfig(server->Url());
        }
        int result = 0;
        int expected = 0;
        const char* what = "hang past the limit";
        if (call % kHangEvery == 0) {
            server->SetScript({ReplyStep::Hang()});
            result = RunHang();
            expected = nalpoicomm::kResultTimedOut;
        } else {
            const ReplyKind& kind = kinds[call % kinds.size()];
            server->SetScript(kind.script);
            result = Call(kind.batch);
            expected = kind.expected;
            what = kind.what;
        }
        if (result != expected && ++mismatches <= 10) {
            ADD_FAILURE() << "call " << call << " (" << what << "): " << result << ", expected "
                          << expected;
        }
        if (call == kBlock) first = SettledUsage(*server, baseline);
    }
    const Usage last = SettledUsage(*server, baseline);

    std::printf("soak: at %d calls fds %d threads %d rss %ld KiB; at %d calls fds %d threads %d "
                "rss %ld KiB\n",
                kBlock, first.descriptors, first.threads, first.rssKiB, kCalls, last.descriptors,
                last.threads, last.rssKiB);
    RecordProperty("rss_growth_kib", static_cast<int>(last.rssKiB - first.rssKiB));
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(last.descriptors, first.descriptors);
    EXPECT_EQ(last.threads, first.threads);
    EXPECT_LE(last.rssKiB - first.rssKiB, kRssNoiseKiB);
}

}  // namespace
