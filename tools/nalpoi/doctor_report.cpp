#include "doctor_report.h"

#include <nlohmann/json.hpp>

#include "result_meanings.h"

namespace nalpoicomm {

void PrintDoctorText(std::FILE* out, const DoctorReport& report, bool showReply) {
    for (const DoctorStep& step : report.steps) {
        std::fprintf(out, "%-9s %-5s %s\n", step.name.c_str(), step.ok ? "ok" : "FAIL",
                     step.detail.c_str());
        if (!step.hint.empty()) std::fprintf(out, "%-15s hint: %s\n", "", step.hint.c_str());
    }
    for (const std::string& note : report.notes) std::fprintf(out, "note            %s\n", note.c_str());
    std::fprintf(out, "library call    SendUpdateRequest gives %d: %s\n", report.result,
                 ResultMeaning(Operation::Update, report.result));
    std::fprintf(out, "%s\n", report.works ? "the exchange works"
                              : report.failedStep.empty()
                                  ? "the exchange does not work"
                                  : ("the exchange fails at: " + report.failedStep).c_str());
    if (showReply) {
        if (report.replyWritten) {
            std::fprintf(out, "reply, as cc.xml holds it:\n%s", report.reply.c_str());
            if (!report.reply.empty() && report.reply.back() != '\n') std::fputc('\n', out);
        } else {
            std::fprintf(out, "no reply: the call did not write cc.xml\n");
        }
    }
}

std::string DoctorJson(const DoctorReport& report, bool showReply) {
    nlohmann::ordered_json steps = nlohmann::ordered_json::array();
    for (const DoctorStep& step : report.steps) {
        nlohmann::ordered_json entry;
        entry["name"] = step.name;
        entry["ok"] = step.ok;
        entry["detail"] = step.detail;
        if (!step.hint.empty()) entry["hint"] = step.hint;
        steps.push_back(entry);
    }
    nlohmann::ordered_json json;
    json["steps"] = steps;
    json["failed_step"] = report.failedStep.empty() ? nlohmann::ordered_json(nullptr)
                                                    : nlohmann::ordered_json(report.failedStep);
    json["notes"] = report.notes;
    json["result"] = report.result;
    json["meaning"] = ResultMeaning(Operation::Update, report.result);
    json["works"] = report.works;
    if (showReply) {
        json["reply"] = report.replyWritten ? nlohmann::ordered_json(report.reply)
                                            : nlohmann::ordered_json(nullptr);
    }
    // Texts from the service are bytes: invalid UTF-8 becomes U+FFFD.
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace nalpoicomm
