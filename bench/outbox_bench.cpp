// bench/outbox_bench.cpp - putting a 100 KB envelope into the outbox, next to its floor.
//
// BM_Outbox_Put/0 puts into an outbox that holds nothing else (the put envelope is removed,
// untimed, after each); BM_Outbox_Put/30 runs at the outbox's bound (30 envelopes), where every
// put also drops the oldest and counts it under the dropped count's lock, the dearest case.
// Floor: BM_Floor_OneWrite, the same bytes handed to a file with one write(2) (pwrite at its
// start, so that the file does not grow). Put writes a new file under a temporary name,
// renames it, lists the folder and reads the tracker's limits besides.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bench/bench_util.hpp"
#include "platform/common/outbox.hpp"
#include "platform/posix/posix_platform.hpp"

namespace cobaltmoth::bench {
namespace {

constexpr std::size_t kEnvelopeBytes = 100 * 1000;

std::string Envelope() {
  const std::string event = R"({"event_id":"0123456789abcdef0123456789abcdef","message":")" +
                            std::string(kEnvelopeBytes - 160, 'x') + "\"}";
  return R"({"event_id":"0123456789abcdef0123456789abcdef","dsn":"https://key@127.0.0.1/1"})"
         "\n{\"type\":\"event\",\"length\":" + std::to_string(event.size()) + "}\n" + event + "\n";
}

void BM_Outbox_Put(benchmark::State& state) {
  const std::string folder = "/tmp/" + ScratchName("outbox");
  ::setenv("XDG_STATE_HOME", folder.c_str(), 1);
  platform::common::FolderOutbox outbox(platform::posix::MakePosixOutboxFolder());
  const std::string envelope = Envelope();
  const bool at_bound = state.range(0) > 0;
  for (int i = 0; at_bound && i < platform::common::kMaxEnvelopes; ++i) outbox.Put(envelope);
  for (auto _ : state) {
    if (!outbox.Put(envelope)) state.SkipWithError("not queued");
    if (!at_bound) {
      state.PauseTiming();
      for (const auto& file : outbox.Waiting()) outbox.Discard(file);
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * envelope.size()));
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_Outbox_Put)->Arg(0)->Arg(30);

void BM_Floor_OneWrite(benchmark::State& state) {
  const ScratchFile file("/tmp/" + ScratchName("write"));
  const int fd = ::open(file.Path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const std::string envelope = Envelope();
  for (auto _ : state) {
    if (::pwrite(fd, envelope.data(), envelope.size(), 0) != static_cast<ssize_t>(envelope.size())) {
      state.SkipWithError("write failed");
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * envelope.size()));
  ::close(fd);
}
BENCHMARK(BM_Floor_OneWrite);

}  // namespace
}  // namespace cobaltmoth::bench
