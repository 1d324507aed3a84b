// The end-to-end cases of tests/cases/exchanges.txt: reading the table, and
// making one case's call on records full of old bytes (the differential
// test's host makes its calls here too). Serving the case's
// answer and checking cc.xml are left to the suite that runs it, since the
// Linux suite and the Windows program reach their services differently.
// Standard C++ and the public header only, so that both can use it.
#ifndef NALPOICOMM_TESTS_SUPPORT_EXCHANGE_CASES_H
#define NALPOICOMM_TESTS_SUPPORT_EXCHANGE_CASES_H

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testsupport {

// One exported call on records full of old bytes.
struct ExchangeCall {
    bool batch = false;                      // RevBatch, else SendUpdateRequest
    std::string type, time, id, name;        // the query's texts (a batch query has no id, name)
    int present[3] = {0, 0, 0};              // entries already in the added, deleted, updated lists
};

struct CallOutcome {
    int result = 0;
    bool untouched = false;                  // records and lists byte for byte as passed in
    // Every field by name ("Tel", "Pri0.Name", "add1.Con", "NumA", ...): a
    // fixed field's bytes without the zero bytes that end it, a pointer
    // field's text or "(null)", a count in decimal.
    std::map<std::string, std::string> fields;
};

// Makes the call (its service must already be answering) and reads back
// every field; frees every text the call handed out.
CallOutcome MakeCall(const ExchangeCall& call);

struct ExchangeCase {
    std::string name;
    ExchangeCall call;                       // the suites' query for its kind of call
    std::string answer;                      // reply, no-length, body, hangup, refused, no-config
    std::string document;                    // the answer's text, unescaped
    std::vector<ExchangeCase> before;        // the case named by "after", run first unchecked
    int result = 0;
    bool cachePrinted = false;               // else cc.xml must be absent
    bool untouched = false;
    std::vector<std::pair<std::string, std::string>> fields;   // name, expected bytes
};

// Every case of the table at `path`; throws std::runtime_error naming the
// line of anything it does not understand.
std::vector<ExchangeCase> ReadExchangeCases(const std::string& path);

// The same for a suite's registration, which must not throw: no cases, and
// `error` says why.
std::vector<ExchangeCase> ReadExchangeCases(const std::string& path, std::string& error);

// Has `serve` set up the case's answer, makes its call (after those of the
// case it follows) and gives the differences from what the case expects,
// one line each; none when it passes.
std::vector<std::string> RunExchangeCase(const ExchangeCase& exchange,
                                         const std::function<void(const ExchangeCase&)>& serve);

// A sequence of SendUpdateRequest calls in one process (the table's
// "sequence" entries).
struct ExchangeSequence {
    std::string name;
    std::vector<std::string> answers;        // the service's, one per request it receives
    std::vector<int> results;                // one call each
    std::vector<int> seen;                   // per request, the connection it came on
    std::vector<int> wineResults, wineSeen;  // Wine's, where it differs (else empty)
    bool Slow() const;                       // a call waits out the time limit
};

// The update reply of every answer that replies.
extern const char kSequenceReply[];

// The query of every call of a sequence.
ExchangeCall SequenceCall();

// Every sequence of the table at `path`; none, and `error` says why, when
// the table cannot be read.
std::vector<ExchangeSequence> ReadExchangeSequences(const std::string& path, std::string& error);

// Makes the sequence's calls (its service must already be answering) and
// gives the differences from what it expects (Wine's expectations under
// `wine`), one line each. `seen` gives, once the calls are made, the
// connection of every request the service received, in any numbering that
// tells connections apart.
std::vector<std::string> RunExchangeSequence(const ExchangeSequence& sequence,
                                             const std::function<std::vector<int>()>& seen,
                                             bool wine = false);

}  // namespace testsupport

#endif
