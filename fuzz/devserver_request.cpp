// Bytes clients send to movu-devserver, through the request reader and then
// the service's handlers, as the server does with them: nothing throws or
// reads past the input, no head or body passes its limit, every answer is
// JSON in valid UTF-8 with a status HTTP knows, every console line is free of
// control characters, and what the service keeps stays within its bounds.
// Requests in one input are parted by two NUL bytes and meet one service, so
// a token request can precede a signed one.
#include "fuzz_support.h"
#include "people_service.h"
#include "sample_calendar_text.h"

using namespace movu::devserver;

namespace {

const SampleCalendar& Sample() {
    static const SampleCalendar sample = SampleCalendar::FromText(kBuiltinSampleCalendar);
    return sample;
}

void Check(const Answer& a) {
    movu::fuzz::Check(a.status >= 100 && a.status <= 599);
    if (a.action != Action::kJson) return;
    try {
        (void)ojson::parse(a.Body());  // refuses text that is not UTF-8
    } catch (const ojson::exception&) {
        movu::fuzz::Check(false);
    }
}

void CheckLine(const std::string& line) {
    for (unsigned char c : line) movu::fuzz::Check(c >= 0x20 && c != 0x7F);
}

}  // namespace

MOVU_FUZZ_TARGET(bytes) {
    Limits limits;
    limits.head = 1024;
    limits.body = 512;
    ServiceOptions o;
    o.limits.tokens = 4;
    o.limits.record_entries = 8;
    o.limits.record_bytes = 2048;
    o.limits.record_text = 64;
    o.limits.page = 3;
    PeopleService service(o, std::make_unique<SampleCalendar>(Sample()));
    service.SetPort(8787);
    while (!bytes.empty()) {
        const size_t part = bytes.find(std::string_view("\0\0", 2));
        const std::string_view one = bytes.substr(0, part);
        bytes = part == std::string_view::npos ? std::string_view() : bytes.substr(part + 2);

        Request r;
        bool complete = false;
        int status = 0;
        const std::string why = ParseRequest(one, limits, r, complete, status);
        movu::fuzz::Check(r.body.size() <= limits.body && (!complete || why.empty()));
        std::size_t lines = 0;
        for (const auto& line : r.header_lines) {
            movu::fuzz::Check(line.find('\n') == std::string::npos);
            lines += line.size() + 2;
        }
        movu::fuzz::Check(lines <= limits.head);
        if (!why.empty()) {
            movu::fuzz::Check(status == 400 || status == 413 || status == 431);
            Check(PeopleService::BadRequest(status, why));
            CheckLine(service.Record(r.method, r.target, "", status, 0, "bad request: " + why, 1.7e9));
            continue;
        }
        if (!complete) continue;
        movu::fuzz::Check(!r.method.empty() && r.Path().size() <= r.target.size());

        const FaultPlan plan = service.PlanFaults(r);
        movu::fuzz::Check(!plan.answer || !service.IsControl(r));
        const Answer a = plan.answer ? *plan.answer : service.Handle(r);
        Check(a);
        CheckLine(service.Record(r.method, r.target, r.Header("X-Account").value_or(""), a.status, 0, a.note, 1.7e9));
        movu::fuzz::Check(service.tokens() <= o.limits.tokens && service.record_entries() <= o.limits.record_entries &&
                          service.record_bytes() <= o.limits.record_bytes);
    }
}
