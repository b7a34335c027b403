// Cost of a filtered LogWrite and of formatting a typical accepted line.
#include <benchmark/benchmark.h>

#include <string>

#include "log/log.h"

namespace {

void FilteredLogWrite(benchmark::State& state) {
  zv::log::SetLevelMask(1);
  std::wstring path = L"\\Device\\HarddiskVolume3\\Users\\a\\Documents\\report.docx";
  for (auto _ : state) {
    zv::log::LogWrite(0x2, L"BE", L"open pid=%d access=0x%08X path=%s", 4242, 0x00120089u, path);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(FilteredLogWrite);

void FormatTypicalLine(benchmark::State& state) {
  std::wstring path = L"\\Device\\HarddiskVolume3\\Users\\a\\Documents\\report.docx";
  for (auto _ : state) {
    std::wstring line = zv::log::Format(L"open pid=%d access=0x%08X path=%s", 4242, 0x00120089u, path);
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(FormatTypicalLine);

void FormatNarrowTraceLine(benchmark::State& state) {
  for (auto _ : state) {
    std::string line = zv::log::FormatNarrow("%04d/%02d/%02d_%02d:%02d:%02d(%d) - (%s)_(%s)\n", 2024, 3, 1, 9, 15, 2,
                                             1234, "C:\\Apps\\word.exe", "\\Device\\HarddiskVolume3\\doc.txt");
    benchmark::DoNotOptimize(line);
  }
}
BENCHMARK(FormatNarrowTraceLine);

}  // namespace

BENCHMARK_MAIN();
