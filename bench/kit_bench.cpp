// The MQL5 kit's calendar work, compiled through the shim as in its tests,
// at 1,000, 4,000 and 16,000 events: parsing a day answer, merging a full day,
// merging 100 changes into a held day, and a recorded day's lookup as of a
// moment. The full-day merge runs beside the kit's former merge (a linear id
// search per event and an insertion sort) in the same run.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <random>

#include <unistd.h>
#include <string>

#include "movu_calendar.mqh"

namespace {

// The former merge, kept as the baseline.
int QuadraticMerge(MqlArray<MovuCalendarEvent>& day, const MqlArray<MovuCalendarEvent>& changes) {
    int applied = 0;
    int n = ArraySize(changes);
    for (int c = 0; c < n; c++) {
        int size = ArraySize(day);
        int at = size;
        for (int i = 0; i < size; i++)
            if (day[i].id == changes[c].id) {
                at = i;
                break;
            }
        if (at == size && ArrayResize(day, size + 1, 16) < 0) break;
        day[at] = changes[c];
        applied++;
        while (at > 0 &&
               (day[at - 1].time > day[at].time || (day[at - 1].time == day[at].time && day[at - 1].id > day[at].id))) {
            std::swap(day[at - 1], day[at]);
            at--;
        }
        int last = ArraySize(day) - 1;
        while (at < last &&
               (day[at + 1].time < day[at].time || (day[at + 1].time == day[at].time && day[at + 1].id < day[at].id))) {
            std::swap(day[at + 1], day[at]);
            at++;
        }
    }
    return applied;
}

const long kDay = 1709596800;  // 2024-03-05

// A day answer as the service gives it: sorted by time, ids in no order.
std::string DayAnswer(int n, unsigned seed = 1) {
    std::mt19937 random(seed);
    std::vector<long> ids(n);
    for (int i = 0; i < n; ++i) ids[i] = 100000 + i;
    std::shuffle(ids.begin(), ids.end(), random);
    std::string out = R"({"ok":true,"date":"2024-03-05","events":[)";
    for (int i = 0; i < n; ++i) {
        long time = kDay + static_cast<long>(i) * 86400 / n;
        out += (i ? "," : "") + std::string(R"({"id":)") + std::to_string(ids[i]) +
               R"(,"event":"cpi-yy","title":"Consumer Price Index y/y","currency":"USD","importance":"high",)"
               R"("source":"bls","unit":"%","time":)" +
               std::to_string(time) + R"(,"updated_at":)" + std::to_string(time - 3600) +
               R"(,"actual":null,"forecast":)" + std::to_string(i % 50) + ".1" + R"(,"previous":)" +
               std::to_string(i % 40) + ".25}";
    }
    return out + "]}";
}

MqlArray<MovuCalendarEvent> Events(int n) {
    MqlArray<MovuCalendarEvent> events;
    string error;
    if (!MovuParseEvents(DayAnswer(n).c_str(), events, error)) std::abort();
    return events;
}

// 100 changes: 50 revisions of held events, 50 new ones.
MqlArray<MovuCalendarEvent> Changes(const MqlArray<MovuCalendarEvent>& day) {
    MqlArray<MovuCalendarEvent> changes;
    int n = ArraySize(day);
    for (int k = 0; k < 100; ++k) {
        MovuCalendarEvent e = day[(k * 7919L) % n];
        if (k % 2) e.id = 900000 + k, e.time = kDay + k * 600;
        e.has_actual = true, e.actual = k / 10.0;
        changes.push_back(e);
    }
    return changes;
}

void Parse(benchmark::State& state) {
    string text = DayAnswer(static_cast<int>(state.range(0))).c_str();
    MqlArray<MovuCalendarEvent> events;
    string error;
    for (auto _ : state) benchmark::DoNotOptimize(MovuParseEvents(text, events, error));
    state.counters["events"] = static_cast<double>(state.range(0));
}

void MergeFullDay(benchmark::State& state) {
    auto all = Events(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        MqlArray<MovuCalendarEvent> day;
        benchmark::DoNotOptimize(MovuMergeEvents(day, all));
    }
}

void MergeFullDayQuadratic(benchmark::State& state) {
    auto all = Events(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        MqlArray<MovuCalendarEvent> day;
        benchmark::DoNotOptimize(QuadraticMerge(day, all));
    }
}

void MergeChanges(benchmark::State& state) {
    MqlArray<MovuCalendarEvent> held;
    auto all = Events(static_cast<int>(state.range(0)));
    MovuMergeEvents(held, all);
    auto changes = Changes(held);
    for (auto _ : state) {
        state.PauseTiming();
        MqlArray<MovuCalendarEvent> day = held;
        state.ResumeTiming();
        benchmark::DoNotOptimize(MovuMergeEvents(day, changes));
    }
}

// A recorded day seen twice, whole at 06:00 and 100 changes at 12:00, written
// to its file and read back as a replay reads it.
struct Recorded {
    CMovuRecordedDay day;
    explicit Recorded(int n) {
        terminal.common =
            (std::filesystem::temp_directory_path() / ("movu_kit_bench_" + std::to_string(getpid()))).string();
        CMovuRecordedDay writer;
        writer.Clear("2024-03-05");
        auto all = Events(n);
        writer.Observe(kDay + 6 * 3600, 7200, all);
        MovuMergeEvents(all, Changes(all));
        writer.Observe(kDay + 12 * 3600, 7200, all);
        if (!writer.Save(MOVU_RECORD_COMMON) || !day.Load(MOVU_RECORD_COMMON, "2024-03-05", false)) std::abort();
        std::filesystem::remove_all(terminal.common);
    }
};

// The same moment's answer again, as bar after bar asks for it.
void LookupHeld(benchmark::State& state) {
    Recorded recorded(static_cast<int>(state.range(0)));
    MqlArray<MovuCalendarEvent> events;
    datetime moment = kDay + 13 * 3600;
    for (auto _ : state) benchmark::DoNotOptimize(recorded.day.AsOf(moment++, events));
    state.counters["per_event_ns"] =
        benchmark::Counter(static_cast<double>(state.range(0)),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Each lookup on the other side of an observation: the answer is picked anew.
void LookupAcross(benchmark::State& state) {
    Recorded recorded(static_cast<int>(state.range(0)));
    MqlArray<MovuCalendarEvent> events;
    long k = 0;
    for (auto _ : state) benchmark::DoNotOptimize(recorded.day.AsOf(kDay + (k++ % 2 ? 7 : 13) * 3600, events));
    state.counters["per_event_ns"] =
        benchmark::Counter(static_cast<double>(state.range(0)),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

BENCHMARK(Parse)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(MergeFullDay)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(MergeFullDayQuadratic)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(MergeChanges)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMillisecond);
BENCHMARK(LookupHeld)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMicrosecond);
BENCHMARK(LookupAcross)->Arg(1000)->Arg(4000)->Arg(16000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
