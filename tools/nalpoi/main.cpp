// nalpoi: runs the library's two exchanges from the command line and manages
// the service URL of its own install tree.
#include <cstdio>
#include <exception>
#include <string>

#include "command_line.h"
#include "doctor.h"
#include "doctor_report.h"
#if !defined(_WIN32)
#include "tree_option.h"
#endif
#include "exchanges.h"
#include "json_report.h"
#include "result_meanings.h"
#include "service_config_file.h"
#include "text_report.h"

using namespace nalpoicomm;

namespace {

// Exit status for a finished exchange; a failure also gets one line on stderr.
int ExchangeStatus(Operation operation, int result) {
    if (result == NALPOI_RESULT_OK) return kExitOk;
    std::fprintf(stderr, "nalpoi %s: result %d: %s\n", OperationName(operation), result,
                 ResultMeaning(operation, result));
    return kExitFailed;
}

// One query per ID, in this process: the first failure's status is the command's.
int RunUpdateCommand(const Invocation& invocation) {
    int status = kExitOk;
    for (const std::string& id : invocation.ids) {
        UpdateOutcome outcome;
        RunUpdate({invocation.type, invocation.time, id, invocation.name}, outcome);
        if (invocation.json) {
            std::printf("%s\n", UpdateJson(outcome).c_str());
        } else {
            if (invocation.ids.size() > 1) {
                std::printf("%s%s\n", &id == &invocation.ids.front() ? "" : "\n", id.c_str());
            }
            PrintUpdateText(stdout, outcome);
        }
        std::fflush(stdout);
        const int called = ExchangeStatus(Operation::Update, outcome.result);
        if (status == kExitOk) status = called;
    }
    return status;
}

int RunBatchCommand(const Invocation& invocation) {
    BatchOutcome outcome;
    RunBatch({invocation.type, invocation.time}, outcome);
    if (invocation.json) {
        std::printf("%s\n", BatchJson(outcome).c_str());
    } else {
        PrintBatchText(stdout, outcome);
    }
    std::fflush(stdout);
    return ExchangeStatus(Operation::Batch, outcome.result);
}

int RunConfigCommand(const Invocation& invocation) {
    InstallTree tree;
    std::string error;
    if (!FindInstallTree(tree, error)) {
        std::fprintf(stderr, "nalpoi config: %s\n", error.c_str());
        return kExitFailed;
    }

    if (invocation.url) {
        const std::string problem = ServiceUrlProblem(*invocation.url);
        if (!problem.empty()) {
            std::fprintf(stderr, "nalpoi config: %s\nTry 'nalpoi config --help'.\n",
                         problem.c_str());
            return kExitUsage;
        }
        if (!WriteServiceConfig(tree, *invocation.url, error)) {
            std::fprintf(stderr, "nalpoi config: %s\n", error.c_str());
            return kExitFailed;
        }
        std::printf("service URL: %s\nwritten to:  %s\n", invocation.url->c_str(),
                    tree.configFile.c_str());
        return kExitOk;
    }

    std::string url;
    if (!ReadServiceConfig(url, error)) {
        std::fprintf(stderr, "nalpoi config: not configured: %s\n", error.c_str());
        return kExitFailed;
    }
    std::printf("service URL: %s\nfrom:        %s\n", url.c_str(), tree.configFile.c_str());
    const std::string problem = ServiceUrlProblem(url);
    if (!problem.empty()) {
        std::fprintf(stderr, "nalpoi config: the library cannot use this URL: %s\n",
                     problem.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

int RunDoctorCommand(const Invocation& invocation) {
    const DoctorReport report = RunDoctor(invocation.id);
    if (invocation.json) {
        std::printf("%s\n", DoctorJson(report, invocation.showReply).c_str());
    } else {
        PrintDoctorText(stdout, report, invocation.showReply);
    }
    std::fflush(stdout);
    return report.works ? kExitOk : kExitFailed;
}

}  // namespace

int main(int argc, char** argv) {
    try {
#if !defined(_WIN32)
        std::string treeError;
        if (!RunInRequestedTree(argc, argv, treeError)) {
            std::fprintf(stderr, "nalpoi: %s\n", treeError.c_str());
            return kExitFailed;
        }
#endif
        Invocation invocation;
        if (const auto status = ParseCommandLine(argc, argv, invocation)) return *status;
        switch (invocation.command) {
            case Command::Update: return RunUpdateCommand(invocation);
            case Command::Batch: return RunBatchCommand(invocation);
            case Command::Config: return RunConfigCommand(invocation);
            case Command::Doctor: return RunDoctorCommand(invocation);
        }
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "nalpoi: %s\n", failure.what());
    }
    return kExitFailed;
}
