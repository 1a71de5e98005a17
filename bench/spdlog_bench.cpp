// bench/spdlog_bench.cpp - a general-purpose logger doing the stack log's job: the same two
// lines per pair, each flushed to the kernel before the call returns, as the stack log
// promises. Single-threaded logger, message text only.
#include <benchmark/benchmark.h>
#include <spdlog/logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>

#include <memory>
#include <string_view>

#include "bench/bench_util.hpp"

namespace cobaltmoth::bench {
namespace {

void BM_Spdlog_FlushEveryLine(benchmark::State& state) {
  const ScratchFile file("/tmp/" + ScratchName("spdlog") + ".txt");
  {
    auto sink = std::make_shared<spdlog::sinks::basic_file_sink_st>(file.Path());
    spdlog::logger logger("cobaltmoth_bench", std::move(sink));
    logger.set_formatter(std::make_unique<spdlog::pattern_formatter>(
        "%v", spdlog::pattern_time_type::local, "\r\n"));
    logger.set_level(spdlog::level::trace);
    logger.flush_on(spdlog::level::trace);
    // The lines without their CR LF, which the formatter appends.
    const spdlog::string_view_t enter(kEnterLine.data(), kEnterLine.size() - 2);
    const spdlog::string_view_t exit(kExitLine.data(), kExitLine.size() - 2);
    for (auto _ : state) {
      logger.log(spdlog::level::info, enter);
      logger.log(spdlog::level::info, exit);
    }
  }
}
BENCHMARK(BM_Spdlog_FlushEveryLine);

}  // namespace
}  // namespace cobaltmoth::bench
