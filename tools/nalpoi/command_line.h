// The tool's command line: nalpoi update | batch | config | doctor, each with its own
// options, parsed with getopt_long.
#ifndef NALPOI_COMMAND_LINE_H
#define NALPOI_COMMAND_LINE_H

#include <optional>
#include <string>
#include <vector>

namespace nalpoicomm {

enum class Command { Update, Batch, Config, Doctor };

struct Invocation {
    Command command = Command::Update;
    bool json = false;
    std::string type;
    std::string time;
    std::string id;
    std::vector<std::string> ids;    // update: every --id, one query each, in order
    std::string name;
    std::optional<std::string> url;  // config: set to write, absent to show
    bool showReply = false;          // doctor: print the reply as cc.xml holds it
};

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;  // the command ran and did not succeed
constexpr int kExitUsage = 2;   // the command line was wrong

// Fills `invocation` and returns nothing when a command is to run; otherwise
// returns the exit status to leave with at once, having printed the help
// (kExitOk) or the reason and a pointer to the usage (kExitUsage).
std::optional<int> ParseCommandLine(int argc, char** argv, Invocation& invocation);

}  // namespace nalpoicomm

#endif
