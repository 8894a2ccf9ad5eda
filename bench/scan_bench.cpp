// Scan delivery's cost, measured on the real receiver: the simulator sends a
// 50 MiB file over loopback TLS, and the time from its first FILE_CHUNK to its
// FILE_RESULT (the receiver's final fsync included), the receiver's CPU per
// MiB and its peak RSS during the transfer against its idle RSS are printed.
//   scan_bench [runs]
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/shared_memory.h"
#include "bench/process_stats.h"
#include "tests/e2e/e2e_support.h"
#include "tools/phone/scan.h"

using namespace vistrel;

namespace {

constexpr size_t kFileBytes = 50u << 20;


// A "VmRSS" or "VmHWM" line of /proc/<pid>/status, in KiB.
long StatusKib(pid_t pid, const std::string& key) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(key + ":", 0) == 0) return std::atol(line.c_str() + key.size() + 1);
  }
  return -1;
}

// Lets VmHWM start again from the current RSS.
bool ResetPeak(pid_t pid) {
  std::ofstream out("/proc/" + std::to_string(pid) + "/clear_refs");
  out << "5";
  return static_cast<bool>(out.flush());
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  test::ReceiverProcess receiver;
  const auto scans = receiver.root() / "scans";
  auto device = bench::StartWithPairedPhone(receiver, {"--set", "scans_dir=" + scans.string()});
  if (!device) return 1;
  std::string bytes(kFileBytes, '\0');
  std::mt19937_64 random(7);
  for (size_t i = 0; i + 8 <= bytes.size(); i += 8) {
    const uint64_t value = random();
    std::memcpy(bytes.data() + i, &value, 8);
  }
  std::memcpy(bytes.data(), "%PDF-1.7", 8);
  const double mib = double(kFileBytes) / (1 << 20);
  for (int run = 1; run <= runs; ++run) {
    auto link = device->Connect("127.0.0.1", receiver.port());
    std::string reply;
    if (!link || !phone::OpenScanSession(*link, "Bench", reply)) {
      std::fprintf(stderr, "no scan session\n");
      return 1;
    }
    phone::ScanFile file;
    file.name = "bench.pdf";
    file.mime = "application/pdf";
    file.bytes = bytes;
    const long idle_kib = StatusKib(receiver.pid(), "VmRSS");
    const bool peak_reset = ResetPeak(receiver.pid());
    const double cpu_before = bench::ProcessCpuSeconds(receiver.pid());
    const phone::ScanReport report = phone::SendFiles(*link, {std::move(file)}, {});
    const double cpu = bench::ProcessCpuSeconds(receiver.pid()) - cpu_before;
    const long peak_kib = StatusKib(receiver.pid(), "VmHWM");
    if (report.results.size() != 1 || !report.results[0].ok) {
      std::fprintf(stderr, "the file was not saved\n");
      return 1;
    }
    const double seconds = double(report.first_chunk_to_last_result_us) / 1e6;
    std::printf("run %d: 50 MiB from the first FILE_CHUNK to FILE_RESULT in %.3f s = %.0f MB/s "
                "(goal >= 200); receiver CPU %.2f ms per MiB (goal <= 4); RSS idle %ld KiB, "
                "peak %s %ld KiB: %+ld KiB (goal < 8192)\n",
                run, seconds, double(kFileBytes) / seconds / 1e6, cpu * 1000.0 / mib, idle_kib,
                peak_reset ? "during the transfer" : "since start", peak_kib, peak_kib - idle_kib);
    link.reset();
    std::error_code ec;
    std::filesystem::remove(scans / report.results[0].saved_as, ec);
  }
  receiver.Quit();
  SharedMemory::Unlink(receiver.ExchangeName());
  return 0;
}
