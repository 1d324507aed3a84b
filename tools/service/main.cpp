// nalpoi-service: a reference POI service for the NalPoiComm client. See
// ServiceUsage() for the command line; it prints one "listening on" line to
// stdout once it accepts requests, logs each request to stderr and stops
// cleanly (exit 0) on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <future>
#include <memory>
#include <thread>

#include "http_front_end.h"
#include "poi_database.h"
#include "request_log.h"
#include "service_options.h"

namespace {

using nalpoicomm::service::HttpFrontEnd;
using nalpoicomm::service::OptionsVerdict;
using nalpoicomm::service::PoiDatabase;
using nalpoicomm::service::RequestLog;
using nalpoicomm::service::ServiceOptions;
using nalpoicomm::service::TlsContext;

// How often a stop is repeated while the server has not yet begun serving.
constexpr std::chrono::milliseconds kStopRetryInterval(10);

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

sigset_t StopSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    return signals;
}

int Serve(const ServiceOptions& options) {
    // SIGINT and SIGTERM are taken by one thread with sigwait, so that the
    // stop runs as ordinary code rather than in a signal handler. Blocked
    // here, before any thread starts, they stay blocked in all of them.
    const sigset_t stop_signals = StopSignals();
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    // A client that hangs up must not end the service; TLS writes go through
    // OpenSSL, which cannot pass MSG_NOSIGNAL.
    signal(SIGPIPE, SIG_IGN);

    try {
        // Certificate and key first: a service that cannot serve HTTPS as
        // asked leaves no database behind and never listens.
        std::unique_ptr<TlsContext> tls;
        if (!options.tls_certificate.empty()) {
            tls = std::make_unique<TlsContext>(options.tls_certificate, options.tls_key);
        }
        PoiDatabase db(options.db);
        RequestLog log(stderr);
        HttpFrontEnd front_end(db, log, options.path, options.faults, tls.get(),
                               options.keep_alive_seconds);

        const int port = front_end.Bind(options.host, options.port);
        if (port < 0) {
            std::fprintf(stderr, "nalpoi-service: cannot listen on %s:%d\n",
                         options.host.c_str(), options.port);
            return kExitFailure;
        }
        std::printf("listening on %s://%s:%d%s\n", tls ? "https" : "http", options.host.c_str(),
                    port, options.path.c_str());
        std::fflush(stdout);

        std::promise<void> serving_ended;
        std::shared_future<void> ended = serving_ended.get_future().share();
        std::atomic<bool> signalled{false};
        std::thread stopper([&] {
            int received = 0;
            sigwait(&stop_signals, &received);
            signalled = true;
            do {
                front_end.Stop();
            } while (ended.wait_for(kStopRetryInterval) != std::future_status::ready);
        });

        const bool served = front_end.Serve();
        serving_ended.set_value();
        if (!signalled) pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        return served ? 0 : kExitFailure;
    } catch (const std::exception& failure) {   // the database or the TLS files above all
        std::fprintf(stderr, "nalpoi-service: %s\n", failure.what());
        return kExitFailure;
    }
}

}  // namespace

int main(int argc, char** argv) {
    ServiceOptions options;
    std::string error;
    switch (nalpoicomm::service::ParseServiceOptions(argc, argv, options, error)) {
        case OptionsVerdict::kHelp:
            std::fputs(nalpoicomm::service::ServiceUsage(), stdout);
            return 0;
        case OptionsVerdict::kInvalid:
            std::fprintf(stderr, "nalpoi-service: %s\n%s", error.c_str(),
                         nalpoicomm::service::ServiceUsage());
            return kExitUsage;
        case OptionsVerdict::kRun:
            break;
    }
    return Serve(options);
}
