// One exchange through the worker (new session, connection and request per
// call) against the same POST and read made with plain libcurl easy (a new
// easy handle per call), on loopback against one local server; and how long
// a blocked worker takes to end after its session is closed.
//
// Goal: worker / plain curl <= 1.3. Run: build/bench/exchange_bench
#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "bare_curl_post.h"
#include "interface/exchange_state.h"
#include "support/install_tree.h"
#include "support/replies.h"
#include "support/test_http_server.h"
#include "support/worker_run.h"
#include "transport/exchange_worker.h"

using namespace testsupport;

namespace {

const std::string kRequest = Base64("<?xml version=\"1.0\"?><Poi><ID>bench</ID></Poi>");
const std::string kReply = "<Poi><Tel>020-5555</Tel><Con>" + std::string(2000, 'c') + "</Con></Poi>";

TestHttpServer& Server() {
    static TestHttpServer server;
    return server;
}

void BM_WorkerExchange(benchmark::State& state) {
    Server().SetScript(AnswerWith(kReply));
    WriteServiceConfig(Server().Url());
    for (auto _ : state) {
        const WorkerRun run = RunWorkerOnce(kRequest);
        if (run.outcome != 1) state.SkipWithError("exchange failed");
    }
}
BENCHMARK(BM_WorkerExchange)->UseRealTime()->MinTime(2.0);

void BM_PlainCurlEasy(benchmark::State& state) {
    Server().SetScript(AnswerWith(kReply));
    const std::string url = Server().Url();
    for (auto _ : state) {
        std::string body;
        if (!bench::BareCurlPost(url, kRequest, &body)) state.SkipWithError("curl failed");
        benchmark::DoNotOptimize(FromBase64(body));
    }
}
BENCHMARK(BM_PlainCurlEasy)->UseRealTime()->MinTime(2.0);

// Time from the session close to the worker's end, while the server never answers.
void BM_AbortLatency(benchmark::State& state) {
    Server().SetScript({ReplyStep::Hang()});
    WriteServiceConfig(Server().Url());
    using nalpoicomm::ExchangeState;
    for (auto _ : state) {
        ExchangeState.RequestText = new char[kRequest.size() + 1];
        std::copy(kRequest.c_str(), kRequest.c_str() + kRequest.size() + 1, ExchangeState.RequestText);
        ExchangeState.SessionHandle = InternetOpenW(u"RuzOruz", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
        const std::size_t before = Server().Requests().size();
        HANDLE worker = CreateThread(nullptr, 0, nalpoicomm::ExchangeWorker, &nalpoicomm::ExchangeState, 0, nullptr);
        Server().WaitForRequests(before + 1, 5000);  // the worker is now blocked
        const auto start = std::chrono::steady_clock::now();
        InternetCloseHandle(ExchangeState.SessionHandle);
        WaitForSingleObject(worker, INFINITE);
        const auto elapsed = std::chrono::steady_clock::now() - start;
        CloseHandle(worker);
        nalpoicomm::ReleaseExchangeBuffers();
        state.SetIterationTime(std::chrono::duration<double>(elapsed).count());
    }
}
BENCHMARK(BM_AbortLatency)->UseManualTime()->Iterations(50)->Unit(benchmark::kMicrosecond);

// Prints the usual table and keeps each benchmark's time per iteration.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) seconds[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    std::map<std::string, double> seconds;
};

}  // namespace

int main(int argc, char** argv) {
    EnterInstallTree(argv);
    curl_global_init(CURL_GLOBAL_DEFAULT);
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto worker = reporter.seconds.find("BM_WorkerExchange/min_time:2.000/real_time");
    const auto plain = reporter.seconds.find("BM_PlainCurlEasy/min_time:2.000/real_time");
    if (worker != reporter.seconds.end() && plain != reporter.seconds.end() && plain->second > 0) {
        const double ratio = worker->second / plain->second;
        std::printf("worker exchange / plain curl easy = %.2f (goal <= 1.30): %s\n", ratio,
                    ratio <= 1.3 ? "met" : "NOT met");
    }
    benchmark::Shutdown();
    LeaveInstallTree();
    return 0;
}
