// bench/delivery_bench.cpp - Raise delivering its report to the journal and to syslog
// (BM_Raise_JournalSyslog), next to Raise with nowhere to deliver it (BM_Raise_Nothing), in the
// same run: their ratio, and the time delivery adds to a Raise. BM_Raise_Tracker gives it a
// tracker's DSN instead: the envelope made and queued in an outbox of its own (under /tmp),
// and the sender's start handed to the library's thread at Init and after the put when none
// runs (COBALTMOTH_SEND_PROGRAM=/bin/true: an exec, no network); /0 with room in the outbox, /1 at its bound of 30, where
// each put also drops the oldest and counts it.
//
// Each iteration does what a host does: makes a bug handler, gives it the list, Init (which
// reads the settings, and starts the sender when the outbox holds something), raises one error
// with every LogOn step off, and lets the handler go; only the Raise is timed, as Init comes
// once a run. Every error has a number of its own, so that no record is folded away. For the records to be
// taken rather than refused, run it where the journal's socket and /dev/log have a reader, as
// inside a private journald:
//   tests/services/journal.sh /tmp/bench-journal bench/run.sh --benchmark_filter=Raise
#include <benchmark/benchmark.h>

#include <cobaltmoth/proc_bug.hpp>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string_view>

namespace cobaltmoth::bench {
namespace {

constexpr const char* kTrackerState = "/tmp/cobaltmoth-bench-state";

// Raises as a host does; every `empty_every` iterations (0: never) the outbox is emptied
// untimed, as a sender that reaches its tracker empties it.
void RaiseTo(benchmark::State& state, std::string_view report_to, int empty_every = 0) {
  static std::int32_t number = 1000;  // across runs too: a fingerprint each
  int count = 0;
  for (auto _ : state) {
    state.PauseTiming();
    if (empty_every != 0 && ++count % empty_every == 0) std::filesystem::remove_all(kTrackerState);
    auto bug = std::make_unique<ProcBug>();
    bug->ReportTo(report_to);
    bug->Init("Payroll", 1, 2, 30, "/tmp", ExeStandard);
    state.ResumeTiming();
    bug->Raise("frmOrders", "cmdSave_Click", ++number, "Division by zero", 120, false);
    state.PauseTiming();
    bug.reset();
    state.ResumeTiming();
  }
}

// An outbox of the benchmark's own (none for the hosts without a tracker).
void UseOutbox(const char* state_home) {
  ::setenv("XDG_STATE_HOME", state_home, 1);
  ::setenv("COBALTMOTH_SEND_PROGRAM", "/bin/true", 1);
}

void BM_Raise_Nothing(benchmark::State& state) {
  UseOutbox("/nonexistent");
  RaiseTo(state, "");
}
void BM_Raise_JournalSyslog(benchmark::State& state) {
  UseOutbox("/nonexistent");
  RaiseTo(state, "journal;syslog");
}
// Argument 0: an outbox with room (emptied every 10 reports); 1: at its bound, the tracker
// out of reach.
void BM_Raise_Tracker(benchmark::State& state) {
  UseOutbox(kTrackerState);
  RaiseTo(state, "http://public@127.0.0.1:9/1", state.range(0) == 0 ? 10 : 0);
}

BENCHMARK(BM_Raise_Nothing);
BENCHMARK(BM_Raise_JournalSyslog);
BENCHMARK(BM_Raise_Tracker)->Arg(0)->Arg(1);

}  // namespace
}  // namespace cobaltmoth::bench
