// bench/delivery_bench.cpp - Raise delivering its report to the journal and to syslog
// (BM_Raise_JournalSyslog), next to Raise with nowhere to deliver it (BM_Raise_Nothing), in the
// same run: their ratio, and the time delivery adds to a Raise. BM_Raise_Tracker gives it a
// tracker's DSN instead: the envelope made and queued in an outbox of its own (under /tmp, at
// its bound of 30 after the first iterations, so each put also drops the oldest), and the
// sender started when none runs (COBALTMOTH_SEND_PROGRAM=/bin/true: an exec, no network).
//
// Each iteration does what a host does: makes a bug handler, gives it the list, Init (which
// reads the settings), raises one error with every LogOn step off, and lets the handler go.
// Every error has a number of its own, so that no record is folded away. For the records to be
// taken rather than refused, run it where the journal's socket and /dev/log have a reader, as
// inside a private journald:
//   tests/services/journal.sh /tmp/bench-journal bench/run.sh --benchmark_filter=Raise
#include <benchmark/benchmark.h>

#include <cobaltmoth/proc_bug.hpp>

#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace cobaltmoth::bench {
namespace {

void RaiseTo(benchmark::State& state, std::string_view report_to) {
  static std::int32_t number = 1000;  // across runs too: a fingerprint each
  for (auto _ : state) {
    ProcBug bug;
    bug.ReportTo(report_to);
    bug.Init("Payroll", 1, 2, 30, "/tmp", ExeStandard);
    bug.Raise("frmOrders", "cmdSave_Click", ++number, "Division by zero", 120, false);
  }
}

void BM_Raise_Nothing(benchmark::State& state) { RaiseTo(state, ""); }
void BM_Raise_JournalSyslog(benchmark::State& state) { RaiseTo(state, "journal;syslog"); }

void BM_Raise_Tracker(benchmark::State& state) {
  ::setenv("XDG_STATE_HOME", "/tmp/cobaltmoth-bench-state", 1);
  ::setenv("COBALTMOTH_SEND_PROGRAM", "/bin/true", 1);
  RaiseTo(state, "http://public@127.0.0.1:9/1");
}

BENCHMARK(BM_Raise_Nothing);
BENCHMARK(BM_Raise_JournalSyslog);
BENCHMARK(BM_Raise_Tracker);

}  // namespace
}  // namespace cobaltmoth::bench
