// bench/proc_stac_bench.cpp - ProcStac's enter/exit pair, with the stack log off and on, and
// Dump, each next to its floor.
//
// The log-off pair and its floor are measured with 7 and with 999 entries underneath (the
// argument is the depth of the pair). BM_EnterExit_CallSite is the pair made by
// COBALTMOTH_PROC, whose names are resolved once per call site; BM_EnterExit_LateBound is the
// pair called by dispatch id, read against BM_EnterExit_LogOff.
//
// Floors:
//  - BM_Floor_VectorPushPop: the least an in-memory tracer must do per pair: push a record
//    holding copies of the two names onto a std::vector and pop it again.
//  - BM_Floor_RawWritePerLine: the bytes a logged pair puts in the file, already encoded,
//    one write(2) per line to an O_APPEND file, which is what the stack log promises (every
//    line is with the kernel before EnterProc/ExitProc returns).
//  - BM_Floor_MappedCopyPerPair: the same bytes copied into the pages of a file mapped in
//    memory and grown ahead in chunks, as release 1.0's mapped stack log grew its own.
//  - BM_Floor_DrainWritePerPair: the same bytes written to a growing file in parts of a
//    half the ring, as the mapped log's drain writes them.
// BM_EnterExit_LogOnMapped, the pair with its stack log mapped (StackLogMode::kMapped), is
// read against that floor and against the log-off pair; BM_EnterExit_LogOnMappedWithDrain is
// the same pair in the process's CPU time, which counts the drain thread's writes to the file,
// and BM_EnterExit_CallSiteMapped the mapped pair through COBALTMOTH_PROC.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cobaltmoth/error_line.hpp>
#include <cobaltmoth/late_binding.hpp>
#include <cobaltmoth/proc_bug.hpp>
#include <cobaltmoth/proc_stac.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_util.hpp"
#include "runtime/text.hpp"

namespace cobaltmoth::bench {
namespace {

// A tracer with `underneath` entries on it (seven unless told), its stack log (if it is
// switched on) in /tmp.
std::shared_ptr<ProcStac> MakeTracer(const std::string& app_name, int underneath = kUnderneath) {
  auto stac = std::make_shared<ProcStac>();
  stac->Init(runtime::FromUtf8(app_name), 1, 2, 30, u"/tmp", ExeStandard);
  const std::u16string_view modules[] = {u"modMain", u"frmMain", u"frmOrders", u"clsOrder"};
  for (int i = 0; i < underneath; ++i) {
    stac->EnterProc(modules[i % 4], runtime::FromUtf8("Proc" + std::to_string(i)));
  }
  return stac;
}

// ---------------------------------------------------------------------------------------------
// Stack log off.

struct FloorRecord {
  FloorRecord(std::u16string_view module_name, std::u16string_view proc_name)
      : module(module_name), proc(proc_name) {}
  std::u16string module;
  std::u16string proc;
  std::int32_t line = 0;
};

// The depth of a pair, from the benchmark's argument.
int Underneath(const benchmark::State& state) { return static_cast<int>(state.range(0)) - 1; }

void BM_Floor_VectorPushPop(benchmark::State& state) {
  std::vector<FloorRecord> stack;
  stack.reserve(static_cast<std::size_t>(state.range(0)));
  for (int i = 0; i < Underneath(state); ++i) stack.emplace_back(u"modMain", u"Proc");
  std::u16string_view module_name = kModule;
  std::u16string_view proc_name = kProc;
  for (auto _ : state) {
    benchmark::DoNotOptimize(module_name);
    benchmark::DoNotOptimize(proc_name);
    stack.emplace_back(module_name, proc_name);
    benchmark::DoNotOptimize(stack.back().module.data());
    benchmark::DoNotOptimize(stack.back().proc.data());
    stack.pop_back();
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Floor_VectorPushPop)->Arg(kDepth)->Arg(1000);

// EnterProc and ExitProc of the same names, once an iteration, the names kept opaque.
void PairLoop(benchmark::State& state, ProcStac& stac) {
  std::u16string_view module_name = kModule;
  std::u16string_view proc_name = kProc;
  for (auto _ : state) {
    benchmark::DoNotOptimize(module_name);
    benchmark::DoNotOptimize(proc_name);
    stac.EnterProc(module_name, proc_name);
    stac.ExitProc(module_name, proc_name);
  }
}

void BM_EnterExit_LogOff(benchmark::State& state) {
  const auto stac = MakeTracer(ScratchName("logoff"), Underneath(state));
  PairLoop(state, *stac);
  if (stac->LogOnFile()) state.SkipWithError("the stack log was on");
}
BENCHMARK(BM_EnterExit_LogOff)->Arg(kDepth)->Arg(1000);

// The same pair while a bug handler catches the process's crashes: the tracer's thread is known
// to the crash handling from the tracer's start, so each pair should cost what it did.
void BM_EnterExit_CrashesCaught(benchmark::State& state) {
  ProcBug bug;
  bug.CatchCrashes(true);
  if (!bug.CatchCrashes()) state.SkipWithError("crashes cannot be caught here");
  const auto stac = MakeTracer(ScratchName("crashes"));
  PairLoop(state, *stac);
}
BENCHMARK(BM_EnterExit_CrashesCaught);

// The same pair through COBALTMOTH_PROC: one scope per iteration.
void BM_EnterExit_CallSite(benchmark::State& state) {
  const auto stac = MakeTracer(ScratchName("site"), Underneath(state));
  ProcStac& trace = *stac;
  for (auto _ : state) {
    COBALTMOTH_PROC(trace, "frmOrders", "cmdSave_Click");
  }
}
BENCHMARK(BM_EnterExit_CallSite)->Arg(kDepth)->Arg(1000);

// The same pair called by dispatch id through late binding, as a scripting host would: the
// member looked up, the arguments checked and converted, then the direct call.
void BM_EnterExit_LateBound(benchmark::State& state) {
  const auto stac = MakeTracer(ScratchName("late"));
  LateBound late(stac);
  const std::int32_t enter = late.DispatchId(u"EnterProc");
  const std::int32_t exit = late.DispatchId(u"ExitProc");
  const LateValue args[] = {std::u16string(kModule), std::u16string(kProc)};
  for (auto _ : state) {
    late.Invoke(enter, InvokeKind::kMethod, args);
    late.Invoke(exit, InvokeKind::kMethod, args);
  }
}
BENCHMARK(BM_EnterExit_LateBound);

// ---------------------------------------------------------------------------------------------
// Stack log on.

// The last `size` bytes of a file.
std::string Tail(const std::string& path, std::size_t size) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  const auto length = static_cast<std::size_t>(in.tellg());
  in.seekg(static_cast<std::streamoff>(length < size ? 0 : length - size));
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The logged pair, its file written in `mode`, through EnterProc and ExitProc or (`site`) a
// COBALTMOTH_PROC scope. What the file holds after Terminate is checked against the floor's
// lines.
void LoggedPair(benchmark::State& state, StackLogMode mode, bool site = false) {
  const std::string app_name = ScratchName("logon");
  const ScratchFile log("/tmp/" + app_name + "_stacklog.txt");
  const auto stac = MakeTracer(app_name);
  stac->LogMode(mode);
  stac->LogOnFile(true);
  // The first logged line opens the file and writes its header; that is not what is measured.
  stac->EnterProc(kModule, kProc);
  stac->ExitProc(kModule, kProc);
  if (site) {
    ProcStac& trace = *stac;
    for (auto _ : state) {
      COBALTMOTH_PROC(trace, "frmOrders", "cmdSave_Click");
    }
  } else {
    for (auto _ : state) {
      stac->EnterProc(kModule, kProc);
      stac->ExitProc(kModule, kProc);
    }
  }
  stac->Terminate();
  // The floor writes exactly these bytes; make sure the tracer did too, and closed its
  // section after them.
  const std::string rule(80, '*');
  std::string expected(kEnterLine);
  expected += kExitLine;
  expected += "\r\n" + rule + "\r\n* End Log Procedure Stack for " + app_name +
              ".exe ver. 1.2.30\r\n" + rule + "\r\n\r\n";
  if (Tail(log.Path(), expected.size()) != expected) {
    state.SkipWithError("the stack log does not end in the floor's two lines and a footer");
  }
}

void BM_EnterExit_LogOn(benchmark::State& state) {
  LoggedPair(state, StackLogMode::kWriteThrough);
}
BENCHMARK(BM_EnterExit_LogOn);

// The same with the stack log mapped: the two lines copied into the ring, which the drain
// thread writes to the file. The caller's cost: the benchmark thread's CPU time.
void BM_EnterExit_LogOnMapped(benchmark::State& state) {
  LoggedPair(state, StackLogMode::kMapped);
}
BENCHMARK(BM_EnterExit_LogOnMapped);

// The whole cost of the mapped pair: the process's CPU time, the drain thread's writes
// included.
void BM_EnterExit_LogOnMappedWithDrain(benchmark::State& state) {
  LoggedPair(state, StackLogMode::kMapped);
}
BENCHMARK(BM_EnterExit_LogOnMappedWithDrain)->MeasureProcessCPUTime();

// The mapped pair through COBALTMOTH_PROC, read against BM_EnterExit_CallSite.
void BM_EnterExit_CallSiteMapped(benchmark::State& state) {
  LoggedPair(state, StackLogMode::kMapped, /*site=*/true);
}
BENCHMARK(BM_EnterExit_CallSiteMapped);

void BM_Floor_RawWritePerLine(benchmark::State& state) {
  const ScratchFile file("/tmp/" + ScratchName("raw") + ".txt");
  const int fd = ::open(file.Path().c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) {
    state.SkipWithError("cannot open the scratch file");
    return;
  }
  bool failed = false;
  for (auto _ : state) {
    failed |= ::write(fd, kEnterLine.data(), kEnterLine.size()) !=
              static_cast<ssize_t>(kEnterLine.size());
    failed |= ::write(fd, kExitLine.data(), kExitLine.size()) !=
              static_cast<ssize_t>(kExitLine.size());
  }
  ::close(fd);
  if (failed) state.SkipWithError("a write fell short");
}
BENCHMARK(BM_Floor_RawWritePerLine);

// The same bytes copied into a file's pages mapped in memory, the file grown ahead in chunks
// of 64 KiB doubling to 1 MiB (fallocate, mmap, every page made writable at once): what the
// mapped log of release 1.0 did, and what every new page of a file costs on this machine,
// which the ring's writer never pays (its drain does, in the kernel).
void BM_Floor_MappedCopyPerPair(benchmark::State& state) {
  const ScratchFile file("/tmp/" + ScratchName("mapped") + ".txt");
  const int fd = ::open(file.Path().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  char* chunk = nullptr;
  std::size_t size = 0, at = 0;
  off_t start = 0;
  bool failed = fd < 0;
  for (auto _ : state) {
    for (std::string_view left : {kEnterLine, kExitLine}) {
      while (!left.empty() && !failed) {
        if (at == size) {  // the next chunk, right after this one
          if (chunk != nullptr) ::munmap(chunk, size);
          start += static_cast<off_t>(size);
          size = size == 0 ? std::size_t{64} << 10 : std::min(2 * size, std::size_t{1} << 20);
          failed |= ::fallocate(fd, 0, start, static_cast<off_t>(size)) != 0;
          void* mapped = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, start);
          chunk = mapped == MAP_FAILED ? nullptr : static_cast<char*>(mapped);
          failed |= chunk == nullptr;
          if (!failed) ::madvise(chunk, size, MADV_POPULATE_WRITE);
          at = 0;
          continue;
        }
        const std::size_t part = std::min(left.size(), size - at);
        std::memcpy(chunk + at, left.data(), part);
        at += part;
        left.remove_prefix(part);
      }
    }
  }
  if (chunk != nullptr) ::munmap(chunk, size);
  if (fd >= 0) ::close(fd);
  if (failed) state.SkipWithError("the scratch file could not be grown or mapped");
}
BENCHMARK(BM_Floor_MappedCopyPerPair);

// The drain's own work for a pair: the same bytes gathered in a buffer of half the ring and
// written with one pwrite(2) each time it is full, at the end of a file that grows
// (new page-cache pages, as the log's are). With the writer's copy, what a pair of the mapped
// log costs the process at the least; in wall time, the most pairs a second the ring can take
// for as long as lines come faster than the drain writes them.
void BM_Floor_DrainWritePerPair(benchmark::State& state) {
  const ScratchFile file("/tmp/" + ScratchName("drain") + ".txt");
  const int fd = ::open(file.Path().c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
  std::vector<char> part(std::size_t{512} << 10);
  std::size_t at = 0;
  off_t end = 0;
  bool failed = fd < 0;
  for (auto _ : state) {
    for (const std::string_view line : {kEnterLine, kExitLine}) {
      if (at + line.size() > part.size()) {
        failed |= ::pwrite(fd, part.data(), at, end) != static_cast<ssize_t>(at);
        end += static_cast<off_t>(at);
        at = 0;
      }
      std::memcpy(part.data() + at, line.data(), line.size());
      at += line.size();
    }
  }
  if (fd >= 0) ::close(fd);
  if (failed) state.SkipWithError("a write to the scratch file fell short");
}
BENCHMARK(BM_Floor_DrainWritePerPair);

// ---------------------------------------------------------------------------------------------
// Dump.

void BM_Dump_1000(benchmark::State& state) {
  const auto stac = std::make_shared<ProcStac>();
  stac->Init(u"Payroll", 1, 2, 30, u"/tmp", ExeStandard);
  // Every fourth entry was entered from an error handler, so its line shows
  // "called @ line N by ...".
  for (int i = 0; i < 1000; ++i) {
    SetErl(i % 4 == 3 ? 100 + i : 0);
    stac->EnterProc(runtime::FromUtf8("modModule" + std::to_string(i % 16)),
                    runtime::FromUtf8("Proc" + std::to_string(i)));
  }
  SetErl(0);
  std::size_t size = 0;
  for (auto _ : state) {
    std::u16string text = stac->Dump();
    size = text.size();
    benchmark::DoNotOptimize(text.data());
  }
  state.counters["chars"] = static_cast<double>(size);
}
BENCHMARK(BM_Dump_1000)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace cobaltmoth::bench
