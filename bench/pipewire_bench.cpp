// The camera host with its PipeWire sink, measured: a private daemon, the
// receiver with the simulator streaming 720p30, and one camera app reading
// NV12. Prints the host's CPU time per second while nobody reads and while
// the app reads, the time from each sample's creation in the camera
// library to the app receiving its buffer, and the CPU time again while a
// second app reads too (each app has buffers of its own, so one more copy).
//   pipewire_bench [seconds]   (default 20 s of reading)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <sstream>

#include "bench/pipewire_setup.h"
#include "bench/process_stats.h"
#include "tests/e2e/host_process.h"
#include "tests/e2e/pipewire_support.h"
#include "tools/phone/webcam.h"

using namespace vistrel;

namespace {

using bench::Percentile;

// CPU seconds of each thread of `pid` (schedstat counts nanoseconds, where
// /proc's stat counts 10 ms ticks), by thread id, with its name.
std::map<std::string, std::pair<std::string, double>> ThreadCpu(pid_t pid) {
  std::map<std::string, std::pair<std::string, double>> threads;
  const std::string folder = "/proc/" + std::to_string(pid) + "/task";
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string tid = entry.path().filename().string();
    std::ifstream comm(entry.path() / "comm");
    std::string name;
    std::getline(comm, name);
    std::ifstream schedstat(entry.path() / "schedstat");
    double ns = 0;
    if (!(schedstat >> ns)) continue;
    threads[tid] = {name, ns / 1e9};
  }
  return threads;
}

// The host's CPU milliseconds per second over `seconds` from now; with
// `detail`, each thread's share too. Threads that end meanwhile are not
// counted (the host's threads live as long as it does).
double HostCpuPerSecond(pid_t pid, double seconds, std::string* detail = nullptr) {
  const auto before = ThreadCpu(pid);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const auto after = ThreadCpu(pid);
  double total = 0;
  for (const auto& [tid, thread] : after) {
    auto was = before.find(tid);
    const double cpu = thread.second - (was == before.end() ? 0 : was->second.second);
    total += cpu;
    if (detail) {
      char line[128];
      std::snprintf(line, sizeof line, " %s %.1f", thread.first.c_str(), cpu * 1000 / seconds);
      *detail += line;
    }
  }
  return total * 1000 / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  test::ReceiverProcess receiver;
  std::optional<bench::PipeWireSetup> setup = bench::StartPipeWireSetup(receiver, false);
  if (!setup) return 1;
  const std::filesystem::path& runtime = setup->runtime;
  test::HostProcess& host = *setup->host;
  phone::Phone* device = setup->device.get();
  std::string why;
  auto link = device->Connect("127.0.0.1", receiver.port());
  if (!link) return 1;
  auto streaming = std::async(std::launch::async, [&] {
    // The phone's encoding runs on the phone, not on the computer that reads
    // the camera; here it shares two cores with the host, the daemon and the
    // app, so it yields to them as a separate device would.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5);
    phone::WebcamOptions options;
    options.device_name = "Bench";
    options.seconds = seconds * 1.5 + 15;
    return phone::RunWebcam(*link, options);
  });

  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double idle_cpu = HostCpuPerSecond(host.pid(), 5);
  auto consumer = test::PipeWireConsumer::Connect(runtime, "NV12", why);
  if (!consumer) {
    std::fprintf(stderr, "no consumer: %s\n", why.c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const size_t first = consumer->Count();
  std::string per_thread;
  const double reading_cpu = HostCpuPerSecond(host.pid(), seconds, &per_thread);
  const std::vector<test::ConsumedBuffer> buffers = consumer->Buffers();
  std::vector<double> latency_ms;
  size_t numbered = 0;
  for (size_t i = first; i < buffers.size(); ++i) {
    latency_ms.push_back(double(buffers[i].received_ns - buffers[i].sample_time_ns) / 1e6);
    if (buffers[i].number) ++numbered;
  }
  auto second = test::PipeWireConsumer::Connect(runtime, "NV12", why);
  if (!second) {
    std::fprintf(stderr, "no second consumer: %s\n", why.c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const double both_seconds = seconds / 2;
  const size_t first_before = consumer->Count();
  const size_t second_before = second->Count();
  const double both_cpu = HostCpuPerSecond(host.pid(), both_seconds);
  const double first_rate = double(consumer->Count() - first_before) / both_seconds;
  const double second_rate = double(second->Count() - second_before) / both_seconds;
  second.reset();
  consumer.reset();
  streaming.wait();
  receiver.Quit();

  std::printf("camera host CPU: %.1f ms per second with no reader, %.1f ms per second with one "
              "PipeWire reader (goal < 15)\n",
              idle_cpu, reading_cpu);
  std::printf("  by thread (ms per second):%s\n", per_thread.c_str());
  std::printf("camera host CPU: %.1f ms per second with two PipeWire readers, which got %.1f and "
              "%.1f buffers per second\n",
              both_cpu, first_rate, second_rate);
  std::printf("buffers read: %zu in %.0f s (%.1f per second), %zu showing the phone\n",
              latency_ms.size(), seconds, double(latency_ms.size()) / seconds, numbered);
  std::printf("sample creation -> app receives: p50 %.2f ms, p99 %.2f ms (goal < 5), max %.2f ms\n",
              Percentile(latency_ms, 0.5), Percentile(latency_ms, 0.99),
              Percentile(latency_ms, 1.0));
  return 0;
}
