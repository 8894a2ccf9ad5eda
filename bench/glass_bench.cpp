// Glass to app: the simulator's numbered pictures through the receiver, the
// camera host with its PipeWire sink, and one camera app linked by
// WirePlumber, on a private daemon. Prints the delay from the simulator's
// send of picture n to the app receiving the buffer showing n, split into
// stages: the receiver's arrival and decoding times and the host's queueing
// time come from their time files (VISTREL_PICTURE_TIMES,
// VISTREL_SAMPLE_TIMES), the publish time from the exchange's header, the
// sample's time stamp from the camera library. Also the rate the app sees and
// how many pictures it saw twice or never. The send time is taken when the
// simulator's send returns, so on a busy machine the receiver may have the
// picture before it (a negative first stage).
//   glass_bench [seconds] [width height]   (default 30 s of 1280x720)
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "bench/pipewire_setup.h"
#include "bench/process_stats.h"
#include "platform/clock.h"
#include "platform/shared_memory.h"
#include "tests/e2e/host_process.h"
#include "tests/e2e/pipewire_support.h"
#include "tools/phone/frame_pattern.h"
#include "tools/phone/webcam.h"
#include "video/exchange/frame_exchange.h"

using namespace vistrel;

namespace {

using bench::Percentile;

// Lines of numbers from a time file, keyed by the column `key`.
std::unordered_map<uint64_t, std::vector<uint64_t>> ReadTimes(const std::filesystem::path& path,
                                                              size_t columns, size_t key) {
  std::unordered_map<uint64_t, std::vector<uint64_t>> rows;
  std::ifstream in(path);
  std::vector<uint64_t> row(columns);
  while (in) {
    for (uint64_t& value : row) in >> value;
    if (in) rows[row[key]] = row;
  }
  return rows;
}

double Ms(uint64_t from, uint64_t to) { return double(int64_t(to - from)) / 1e6; }

void PrintRow(const char* stage, const std::vector<double>& ms) {
  std::printf("  %-36s %6zu %8.2f %8.2f %8.2f %8.2f\n", stage, ms.size(), Percentile(ms, 0.5),
              Percentile(ms, 0.9), Percentile(ms, 0.99), Percentile(ms, 1.0));
}

template <typename T>
std::atomic_ref<T> Atomic(T& field) {
  return std::atomic_ref<T>(field);
}

// The picture number is drawn in the top row of blocks; these rows hold it.
constexpr int kNumberRows = 64;

// Watches the exchange's header and notes, for each picture published, its
// number and publish time. Reads under the sequence lock like the camera
// library, but never counts itself as a reader.
class ExchangeWatch {
 public:
  explicit ExchangeWatch(const std::string& name) : name_(name) {
    thread_ = std::thread([this] { Run(); });
  }
  ~ExchangeWatch() {
    done_ = true;
    thread_.join();
  }
  ExchangeWatch(const ExchangeWatch&) = delete;
  ExchangeWatch& operator=(const ExchangeWatch&) = delete;

  // Publish time of each number, first publish only.
  std::unordered_map<uint32_t, uint64_t> Published() {
    std::lock_guard lock(mutex_);
    return published_;
  }
  size_t Unreadable() const { return unreadable_; }

 private:
  void Run() {
    std::unique_ptr<SharedMemory> memory;
    std::vector<uint8_t> rows(size_t{kExchangeWidth} * kNumberRows);
    uint64_t last = 0;
    while (!done_) {
      std::this_thread::sleep_for(std::chrono::microseconds(1000));
      if (!memory) {
        memory = SharedMemory::Open(name_, kExchangeSize).value_or(nullptr);
        continue;
      }
      auto& h = *reinterpret_cast<FrameExchangeHeader*>(memory->data());
      const uint64_t sequence = Atomic(h.sequence).load();
      if ((sequence & 1) || sequence == last || !Atomic(h.frame_ready).load()) continue;
      const uint64_t time = Atomic(h.frame_time).load();
      std::atomic_thread_fence(std::memory_order_seq_cst);
      std::memcpy(rows.data(), memory->data() + kExchangeHeaderSize, rows.size());
      std::atomic_thread_fence(std::memory_order_seq_cst);
      if (Atomic(h.sequence).load() != sequence) continue;  // try again next round
      last = sequence;
      auto number = phone::ReadFrameNumber(rows.data(), kExchangeWidth, kExchangeWidth,
                                           kExchangeHeight);
      if (!number) {
        ++unreadable_;
        continue;
      }
      std::lock_guard lock(mutex_);
      published_.try_emplace(*number, time);
    }
  }

  std::string name_;
  std::atomic<bool> done_{false};
  std::atomic<size_t> unreadable_{0};
  std::mutex mutex_;
  std::unordered_map<uint32_t, uint64_t> published_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30;
  const int width = argc > 3 ? std::atoi(argv[2]) : 1280;
  const int height = argc > 3 ? std::atoi(argv[3]) : 720;
  test::ReceiverProcess receiver;
  const std::filesystem::path picture_times = receiver.root() / "picture-times";
  const std::filesystem::path sample_times = receiver.root() / "sample-times";
  receiver.AddEnvironment("VISTREL_PICTURE_TIMES=" + picture_times.string());
  receiver.AddEnvironment("VISTREL_SAMPLE_TIMES=" + sample_times.string());
  std::optional<bench::PipeWireSetup> setup = bench::StartPipeWireSetup(receiver, true);
  if (!setup) return 1;
  const std::filesystem::path& runtime = setup->runtime;
  test::HostProcess& host = *setup->host;
  phone::Phone* device = setup->device.get();
  std::string why;
  ExchangeWatch watch(receiver.ExchangeName());
  auto link = device->Connect("127.0.0.1", receiver.port());
  if (!link) return 1;

  std::mutex mutex;
  std::unordered_map<uint32_t, uint64_t> sent_at;  // guarded by mutex
  auto streaming = std::async(std::launch::async, [&] {
    // The phone's encoding runs on the phone, not on the computer that reads
    // the camera; here it shares two cores with the host, the daemon and the
    // app, so it yields to them as a separate device would.
    (void)setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 5);
    phone::WebcamOptions options;
    options.device_name = "Bench";
    options.seconds = seconds + 6;
    options.width = width;
    options.height = height;
    options.on_video_sent = [&](const phone::AccessUnit& unit) {
      const uint64_t now = MonotonicNs();
      std::lock_guard lock(mutex);
      sent_at[unit.frame_number & 0xFFFF] = now;
    };
    return phone::RunWebcam(*link, options);
  });

  using Consumer = test::PipeWireConsumer;
  auto consumer = Consumer::Connect(runtime, "NV12", why, Consumer::Linked::kBySessionManager);
  if (!consumer) {
    std::fprintf(stderr, "no consumer: %s\n%s", why.c_str(), host.Log().c_str());
    return 1;
  }
  std::this_thread::sleep_for(std::chrono::seconds(3));
  const size_t first = consumer->Count();
  const double cpu_before = bench::ProcessCpuSeconds(host.pid());
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double cpu_after = bench::ProcessCpuSeconds(host.pid());
  const std::vector<test::ConsumedBuffer> all = consumer->Buffers();
  const std::vector<test::ConsumedBuffer> buffers(all.begin() + std::ptrdiff_t(first),
                                                  all.end());
  consumer.reset();
  const phone::WebcamReport report = streaming.get();
  const auto published = watch.Published();
  std::unordered_map<uint32_t, uint64_t> sent;
  {
    std::lock_guard lock(mutex);
    sent = sent_at;
  }

  // "arrival decoded published" by publish time; "sample queued" by sample time.
  const auto arrivals = ReadTimes(picture_times, 3, 2);
  const auto queued = ReadTimes(sample_times, 2, 0);
  std::vector<double> send_app, send_arrival, arrival_decoded, decoded_published,
      published_sample, sample_queued, queued_app, sample_app;
  std::unordered_set<uint32_t> seen;
  size_t numbered = 0, repeats = 0, waiting = 0, unknown = 0;
  uint32_t lowest = UINT32_MAX, highest = 0;
  for (const auto& buffer : buffers) {
    sample_app.push_back(double(buffer.received_ns - buffer.sample_time_ns) / 1e6);
    if (auto q = queued.find(uint64_t(buffer.sample_time_ns)); q != queued.end()) {
      sample_queued.push_back(Ms(uint64_t(buffer.sample_time_ns), q->second[1]));
      queued_app.push_back(Ms(q->second[1], uint64_t(buffer.received_ns)));
    }
    if (buffer.waiting) ++waiting;
    if (!buffer.number) continue;
    ++numbered;
    const uint32_t n = *buffer.number;
    if (!seen.insert(n).second) {
      ++repeats;
      continue;
    }
    lowest = std::min(lowest, n);
    highest = std::max(highest, n);
    auto s = sent.find(n);
    if (s == sent.end()) {
      ++unknown;
      continue;
    }
    const int64_t send = int64_t(s->second);
    send_app.push_back(double(buffer.received_ns - send) / 1e6);
    if (auto p = published.find(n); p != published.end()) {
      published_sample.push_back(double(buffer.sample_time_ns - int64_t(p->second)) / 1e6);
      if (auto a = arrivals.find(p->second); a != arrivals.end()) {
        send_arrival.push_back(Ms(uint64_t(send), a->second[0]));
        arrival_decoded.push_back(Ms(a->second[0], a->second[1]));
        decoded_published.push_back(Ms(a->second[1], a->second[2]));
      }
    }
  }
  // Numbers run from 0 without wrapping within a run this short.
  size_t never = 0;
  for (uint32_t n = lowest; numbered && n <= highest; ++n) {
    if (sent.count(n) && !seen.count(n)) ++never;
  }
  const double span_s =
      buffers.size() > 1
          ? double(buffers.back().received_ns - buffers.front().received_ns) / 1e9
          : 0;
  const double rate = span_s > 0 ? double(buffers.size() - 1) / span_s : 0;
  const double host_cpu = (cpu_after - cpu_before) * 1000 / seconds;

  std::printf("glass to app: %dx%d at 30 from the simulator (%u sent), one NV12 app linked by "
              "WirePlumber, %.0f s measured\n",
              width, height, report.video_sent, seconds);
  std::printf("  %-36s %6s %8s %8s %8s %8s\n", "stage (ms)", "n", "p50", "p90", "p99", "max");
  PrintRow("send -> app receives", send_app);
  PrintRow("  send -> arrival (receiver)", send_arrival);
  PrintRow("  arrival -> decoded", arrival_decoded);
  PrintRow("  decoded -> published in the exchange", decoded_published);
  PrintRow("  published -> sample created", published_sample);
  PrintRow("  sample created -> queued to PipeWire", sample_queued);
  PrintRow("  queued -> app receives", queued_app);
  // What no schedule can save: decoding, the publish copy, the host's work
  // (the camera's copy lies inside "published -> sample") and the hand-over.
  const double floor = Percentile(arrival_decoded, 0.5) + Percentile(decoded_published, 0.5) +
                       Percentile(sample_queued, 0.5) + Percentile(queued_app, 0.5);
  std::printf("  floor (p50 of decoding, publishing, queueing, hand-over): %.2f ms; send -> app "
              "p50 is %.1f times it (goal <= 2)\n",
              floor, floor > 0 ? Percentile(send_app, 0.5) / floor : 0.0);
  std::printf("app: %zu buffers, %.2f per second; %zu numbered, %zu distinct; %zu pictures seen "
              "twice or more (extra buffers), %zu never seen (of %u..%u); %zu waiting, %zu "
              "unmatched\n",
              buffers.size(), rate, numbered, seen.size(), repeats, never, lowest, highest,
              waiting, unknown);
  std::printf("exchange: %zu pictures published seen, %zu unreadable\n", published.size(),
              watch.Unreadable());
  std::printf("camera host CPU: %.1f ms per second (goal <= 15)\n", host_cpu);
  receiver.Quit();
  return 0;
}
