// What the end-to-end benchmarks share: a receiver with a paired phone, and
// what they read about the receiver's process.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/e2e_support.h"

namespace vistrel::bench {

// The value below which a share `p` (0 to 1) of the values lie.
inline double Percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// User plus system CPU seconds so far from a /proc stat file.
inline double StatCpuSeconds(const std::string& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), {});
  const size_t paren = text.rfind(')');
  if (paren == std::string::npos) return 0;
  std::istringstream fields(text.substr(paren + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

// The same for a whole process, and for its main thread alone.
inline double ProcessCpuSeconds(pid_t pid) {
  return StatCpuSeconds("/proc/" + std::to_string(pid) + "/stat");
}
inline double MainThreadCpuSeconds(pid_t pid) {
  return StatCpuSeconds("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/stat");
}

// Starts the receiver with `args` and pairs a phone named "Bench" with it;
// nothing, with the reason on standard error, when either fails.
inline std::unique_ptr<phone::Phone> StartWithPairedPhone(test::ReceiverProcess& receiver,
                                                          const std::vector<std::string>& args) {
  if (!receiver.Start(args)) {
    std::fprintf(stderr, "the receiver did not start\n");
    return nullptr;
  }
  auto device = phone::Phone::Create(receiver.root() / "phone");
  if (!device || !test::PairAndApprove(receiver, *device, "Bench")) {
    std::fprintf(stderr, "pairing failed\n");
    return nullptr;
  }
  return device;
}

}  // namespace vistrel::bench
