#include "command_line.h"

#include <getopt.h>

#include <cstdio>
#include <cstring>

#include "NalPoiComm.h"

namespace nalpoicomm {

namespace {

// The longest value each query field takes: its record field less the terminator.
constexpr std::size_t kTypeChars = sizeof(__POIINFO__::Type) - 1;
constexpr std::size_t kTimeChars = sizeof(__POIINFO__::Time) - 1;
constexpr std::size_t kIdChars = sizeof(__POIINFO__::ID) - 1;
constexpr std::size_t kNameChars = sizeof(__POIINFO__::Name) - 1;
static_assert(sizeof(__POIINFO2__::Type) - 1 == kTypeChars, "one Type width for both queries");
static_assert(sizeof(__POIINFO2__::Time) - 1 == kTimeChars, "one Time width for both queries");

const char kProgram[] = "nalpoi";

const char kMainUsage[] =
    "usage: nalpoi [--tree DIR] COMMAND [OPTIONS]\n"
    "\n"
    "Exchanges point-of-interest data with the POI service through NalPoiComm.\n"
    "\n"
    "commands:\n"
    "  update   query one POI by its ID (SendUpdateRequest)\n"
    "  batch    fetch the revisions since a time stamp (RevBatch)\n"
    "  config   show or set the service URL of this install tree\n"
    "  doctor   run an exchange step by step and name the step that fails\n"
    "\n"
    "--tree DIR (or NALPOI_TREE=DIR): work on the install tree DIR, whose\n"
    "configdat/ the library reads; nalpoi places itself in DIR/bin/ for that.\n"
    "Run 'nalpoi COMMAND --help' for a command's options.\n"
    "Exit status: 0 on result 1, 1 on any other result or failure, 2 on a usage error.\n";

const char kUpdateUsage[] =
    "usage: nalpoi update --id ID [--id ID...] [--type T] [--time S] [--name NAME] [--json]\n"
    "\n"
    "Runs one POI query per ID, one after another in this process as a host\n"
    "makes them (a later one reuses the connection the service kept), and\n"
    "prints each result code and POI's content.\n"
    "\n"
    "  --id ID       the POI's ID, up to 49 characters (required)\n"
    "  --type T      query type, up to 4 characters (default empty)\n"
    "  --time S      time stamp \"YYYY-MM-DD hh:mm:ss\", up to 19 characters (default empty)\n"
    "  --name NAME   POI name, up to 99 characters (default empty)\n"
    "  --json        print one JSON object per query instead of text\n"
    "  -h, --help    show this help\n";

const char kBatchUsage[] =
    "usage: nalpoi batch [--type T] [--time S] [--json]\n"
    "\n"
    "Fetches the hotels added, deleted and updated after a time stamp and prints\n"
    "them with the reply's new time stamp.\n"
    "\n"
    "  --type T      query type, up to 4 characters (default empty)\n"
    "  --time S      time stamp \"YYYY-MM-DD hh:mm:ss\", up to 19 characters;\n"
    "                empty (the default) means since the beginning\n"
    "  --json        print one JSON object instead of text\n"
    "  -h, --help    show this help\n";

const char kConfigUsage[] =
    "usage: nalpoi config [--url URL]\n"
    "\n"
    "Without --url, shows the service URL in use and the file it comes from.\n"
    "With --url, writes configdat/serviceIP.xml of this install tree.\n"
    "\n"
    "  --url URL     http:// or https:// URL of the service, up to 99 bytes\n"
    "  -h, --help    show this help\n";

const char kDoctorUsage[] =
    "usage: nalpoi doctor [--id ID] [--json] [--show-reply]\n"
    "\n"
    "Runs the steps of an update exchange one by one, as the library runs them,\n"
    "for this install tree: config, url, connect, send, length, body, decode,\n"
    "document; names the first that fails, with a hint, then makes the real\n"
    "library call and shows its result. Exit status 0 when the exchange works.\n"
    "\n"
    "  --id ID        the POI ID to ask for (default H-1001)\n"
    "  --json         one JSON object: steps, failed_step, result\n"
    "  --show-reply   print the decoded reply as cc.xml holds it\n"
    "  -h, --help     show this help\n";

// Long-only options are told apart by these codes, above any character.
enum OptionCode { kOptType = 256, kOptTime, kOptId, kOptName, kOptJson, kOptUrl, kOptShowReply };

int UsageError(const char* command, const char* message) {
    std::fprintf(stderr, "%s %s: %s\nTry '%s %s --help'.\n", kProgram, command, message, kProgram,
                 command);
    return kExitUsage;
}

struct FieldValue {
    const char* option;
    const std::string& value;
    std::size_t maxChars;
};

// A usage error for the first value longer than its record field takes.
template <std::size_t N>
std::optional<int> FirstTooLong(const char* command, const FieldValue (&values)[N]) {
    for (const FieldValue& field : values) {
        if (field.value.size() <= field.maxChars) continue;
        char message[160];
        std::snprintf(message, sizeof message,
                      "%s is %zu bytes long; its record field takes at most %zu", field.option,
                      field.value.size(), field.maxChars);
        return UsageError(command, message);
    }
    return std::nullopt;
}

// Parses the options after the command word; argv[0] is the command word.
std::optional<int> ParseCommandOptions(int argc, char** argv, Invocation& invocation) {
    const char* command = argv[0];
    const option updateOptions[] = {
        {"type", required_argument, nullptr, kOptType},
        {"time", required_argument, nullptr, kOptTime},
        {"id", required_argument, nullptr, kOptId},
        {"name", required_argument, nullptr, kOptName},
        {"json", no_argument, nullptr, kOptJson},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const option batchOptions[] = {
        {"type", required_argument, nullptr, kOptType},
        {"time", required_argument, nullptr, kOptTime},
        {"json", no_argument, nullptr, kOptJson},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const option configOptions[] = {
        {"url", required_argument, nullptr, kOptUrl},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const option doctorOptions[] = {
        {"id", required_argument, nullptr, kOptId},
        {"json", no_argument, nullptr, kOptJson},
        {"show-reply", no_argument, nullptr, kOptShowReply},
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    const char* usage = kConfigUsage;
    const option* options = configOptions;
    if (invocation.command == Command::Doctor) {
        usage = kDoctorUsage;
        options = doctorOptions;
    } else if (invocation.command == Command::Update) {
        usage = kUpdateUsage;
        options = updateOptions;
    } else if (invocation.command == Command::Batch) {
        usage = kBatchUsage;
        options = batchOptions;
    }

    bool idGiven = false;
    optind = 0;  // glibc: start afresh on the new argument vector
    opterr = 0;  // our own messages name the command
    for (;;) {
        const int code = getopt_long(argc, argv, "+h", options, nullptr);
        if (code == -1) break;
        switch (code) {
            case 'h':
                std::fputs(usage, stdout);
                return kExitOk;
            case kOptType: invocation.type = optarg; break;
            case kOptTime: invocation.time = optarg; break;
            case kOptId:
                invocation.id = optarg;
                invocation.ids.push_back(optarg);
                idGiven = true;
                break;
            case kOptName: invocation.name = optarg; break;
            case kOptJson: invocation.json = true; break;
            case kOptUrl: invocation.url = optarg; break;
            case kOptShowReply: invocation.showReply = true; break;
            default: {
                char message[160];
                std::snprintf(message, sizeof message, "unknown option or missing value: '%s'",
                              argv[optind - 1]);
                return UsageError(command, message);
            }
        }
    }
    if (optind < argc) {
        char message[160];
        std::snprintf(message, sizeof message, "unexpected argument '%s'", argv[optind]);
        return UsageError(command, message);
    }

    if (invocation.command == Command::Update) {
        if (!idGiven) return UsageError(command, "--id is required");
        for (const std::string& id : invocation.ids) {
            const FieldValue fields[] = {{"--id", id, kIdChars}};
            if (const auto status = FirstTooLong(command, fields)) return status;
        }
        const FieldValue fields[] = {
            {"--type", invocation.type, kTypeChars},
            {"--time", invocation.time, kTimeChars},
            {"--name", invocation.name, kNameChars},
        };
        return FirstTooLong(command, fields);
    }
    if (invocation.command == Command::Doctor) {
        if (!idGiven) invocation.id = "H-1001";
        const FieldValue fields[] = {{"--id", invocation.id, kIdChars}};
        return FirstTooLong(command, fields);
    }
    if (invocation.command == Command::Batch) {
        const FieldValue fields[] = {
            {"--type", invocation.type, kTypeChars},
            {"--time", invocation.time, kTimeChars},
        };
        return FirstTooLong(command, fields);
    }
    return std::nullopt;
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Invocation& invocation) {
    const option mainOptions[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    opterr = 0;
    // "+": stop at the command word, whose options are parsed after it.
    for (;;) {
        const int code = getopt_long(argc, argv, "+h", mainOptions, nullptr);
        if (code == -1) break;
        if (code == 'h') {
            std::fputs(kMainUsage, stdout);
            return kExitOk;
        }
        std::fprintf(stderr, "%s: unknown option '%s'\n%s", kProgram, argv[optind - 1], kMainUsage);
        return kExitUsage;
    }
    if (optind >= argc) {
        std::fprintf(stderr, "%s: no command given\n%s", kProgram, kMainUsage);
        return kExitUsage;
    }

    const char* word = argv[optind];
    if (std::strcmp(word, "update") == 0) {
        invocation.command = Command::Update;
    } else if (std::strcmp(word, "batch") == 0) {
        invocation.command = Command::Batch;
    } else if (std::strcmp(word, "config") == 0) {
        invocation.command = Command::Config;
    } else if (std::strcmp(word, "doctor") == 0) {
        invocation.command = Command::Doctor;
    } else {
        std::fprintf(stderr, "%s: unknown command '%s'\n%s", kProgram, word, kMainUsage);
        return kExitUsage;
    }
    return ParseCommandOptions(argc - optind, argv + optind, invocation);
}

}  // namespace nalpoicomm
