// The camera as a PipeWire video source: a private daemon, the camera host
// with its PipeWire sink, the receiver, the phone simulator and a camera app
// that links itself to "Orlith Cam".
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <csignal>
#include <cstdio>
#include <future>
#include <set>

#include "platform/files.h"
#include "platform/shared_memory.h"
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/host_process.h"
#include "tests/e2e/pipewire_support.h"
#include "tools/phone/phone.h"
#include "tools/phone/webcam.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::HostProcess;
using test::WaitUntil;

TEST(PipeWireE2E, ConsumersGetTheWaitingPictureThenThePhoneAndTheHostSurvivesARestart) {
  test::ReceiverProcess receiver;
  receiver.EnableCamera();
  receiver.EnablePipeWire();
  ASSERT_TRUE(test::RegisterCameraLibrary(receiver));
  const fs::path runtime = receiver.root() / "run";
  fs::create_directories(runtime);
  ::chmod(runtime.c_str(), 0700);
  std::string why;
  auto daemon = test::PipeWireDaemon::Start(runtime, why);
  if (!daemon) GTEST_SKIP() << "no private PipeWire daemon could run: " << why;

  HostProcess host(receiver, {"--sink", "pipewire"});
  ASSERT_TRUE(host.WaitForLog("[camhost] connected to PipeWire; \"Orlith Cam\" is a video source\n"))
      << host.Log();
  ASSERT_TRUE(receiver.Start());
  ASSERT_TRUE(host.WaitForLog("[camhost] serving \"Orlith Cam\" into pipewire\n")) << host.Log();

  // No app links to the node: the host requests no sample, so the camera
  // library never even opens the frame exchange.
  std::this_thread::sleep_for(1500ms);
  const fs::path vcam_log = receiver.root() / "state/Vistrel/vcam.log";
  EXPECT_EQ(ReadFileText(vcam_log).value_or("").find("FrameReader:"), std::string::npos)
      << ReadFileText(vcam_log).value_or("");

  auto consumer = test::PipeWireConsumer::Connect(runtime, "NV12", why);
  ASSERT_NE(consumer, nullptr) << why << "\n" << host.Log();
  ASSERT_TRUE(host.WaitForLog("[camhost] a PipeWire consumer is reading (NV12)\n")) << host.Log();
  ASSERT_TRUE(WaitUntil([&] { return consumer->Count() >= 10; })) << host.Log();
  EXPECT_EQ(consumer->Format(), "NV12 1280x720 30/1");

  ASSERT_TRUE(test::PairAndStreamWebcam(receiver, 3));
  const size_t after_phone = consumer->Count();
  ASSERT_TRUE(WaitUntil([&] { return consumer->Count() >= after_phone + 15; }));
  const std::vector<test::ConsumedBuffer> buffers = consumer->Buffers();
  ASSERT_GE(buffers.size(), 60u);
  EXPECT_TRUE(buffers.front().waiting);
  EXPECT_TRUE(buffers.back().waiting);
  std::optional<uint32_t> last;
  std::set<uint32_t> distinct;
  size_t unreadable = 0;
  for (size_t i = 0; i < buffers.size(); ++i) {
    const test::ConsumedBuffer& buffer = buffers[i];
    if (i > 0) {
      EXPECT_GT(buffer.sample_time_ns, buffers[i - 1].sample_time_ns) << i;
    }
    // The time stamp is the sample's own, taken before the buffer left.
    EXPECT_LE(buffer.sample_time_ns, buffer.received_ns) << i;
    if (buffer.waiting) continue;
    if (!buffer.number) {
      ++unreadable;
      continue;
    }
    if (last) {
      EXPECT_GE(*buffer.number, *last);
    }
    last = buffer.number;
    distinct.insert(*buffer.number);
  }
  EXPECT_EQ(unreadable, 0u);
  EXPECT_GE(distinct.size(), 30u);

  // The app goes: the host stops pulling samples.
  consumer.reset();
  EXPECT_TRUE(host.WaitForLog("[camhost] no PipeWire consumer is reading; pulling no samples\n"))
      << host.Log();
  // Nobody reads for a while: the camera itself stops, until the next app.
  EXPECT_TRUE(host.WaitForLog("[camhost] nobody reads; the camera is stopped until an app comes\n"))
      << host.Log();

  // The daemon restarts; the host says so once, finds it again and serves the
  // next app, which asks for I420 this time.
  daemon->Stop();
  EXPECT_TRUE(host.WaitForLog("[camhost] lost PipeWire; connecting again\n")) << host.Log();
  EXPECT_TRUE(host.WaitForLog("[camhost] no PipeWire daemon answers")) << host.Log();
  daemon = test::PipeWireDaemon::Start(runtime, why);
  ASSERT_NE(daemon, nullptr) << why;
  ASSERT_TRUE(host.WaitForLog("[camhost] reconnected to PipeWire; \"Orlith Cam\" is a video source\n"))
      << host.Log();
  consumer = test::PipeWireConsumer::Connect(runtime, "I420", why);
  ASSERT_NE(consumer, nullptr) << why << "\n" << host.Log();
  ASSERT_TRUE(WaitUntil([&] { return consumer->Count() >= 10; })) << host.Log();
  EXPECT_EQ(consumer->Format(), "I420 1280x720 30/1");
  EXPECT_TRUE(consumer->Buffers().back().waiting);
  consumer.reset();

  EXPECT_EQ(receiver.RunCommand({VISTREL_BINARY, "--remove-camera"}), 0);
  EXPECT_EQ(host.Wait(), 0) << host.Log();
  EXPECT_EQ(receiver.Quit(), 0);
  SharedMemory::Unlink(receiver.ExchangeName());
  const std::string log = host.Log();
  EXPECT_EQ(log.find("no PipeWire daemon answers"), log.rfind("no PipeWire daemon answers"))
      << "the absent daemon is reported once per outage\n" << log;
  const std::string started = "[camhost] camera \"Orlith Cam\" started\n";
  EXPECT_NE(log.find(started), log.rfind(started)) << "started again for the second app\n" << log;
  EXPECT_LT(log.find("[camhost] serving"), log.find(started)) << "not before an app reads\n" << log;
  std::printf("PipeWire buffers: %zu, from the phone: %zu distinct\n%s", buffers.size(),
              distinct.size(), log.c_str());
}

// A host started before its session's PipeWire daemon (a user unit early in
// a login) waits for it; where nothing can ever serve it fails, so that the
// unit's start limit stops retrying, and PipeWire's library is never asked
// for a configuration that is not there.
TEST(PipeWireE2E, TheHostWaitsForAnInstalledDaemonAndFailsWhereNothingCanServe) {
  test::ReceiverProcess receiver;
  receiver.EnablePipeWire();
  const fs::path runtime = receiver.root() / "run";
  HostProcess waiting(receiver, {"--sink", "auto"});
  ASSERT_TRUE(waiting.WaitForLog("[camhost] no PipeWire daemon answers; trying again every 3 "
                                 "seconds\n"))
      << waiting.Log();
  std::string why;
  auto daemon = test::PipeWireDaemon::Start(runtime, why);
  if (!daemon) GTEST_SKIP() << "no private PipeWire daemon could run: " << why;
  ASSERT_TRUE(waiting.WaitForLog("connected to PipeWire; \"Orlith Cam\" is a video source\n"))
      << waiting.Log();
  waiting.Signal(SIGTERM);
  EXPECT_EQ(waiting.Wait(), 0) << waiting.Log();

  test::ReceiverProcess bare;  // PipeWire's library without its configuration
  for (const std::string sink : {"auto", "pipewire"}) {
    HostProcess host(bare, {"--sink", sink});
    EXPECT_EQ(host.Wait(), 1) << host.Log();
    const std::string log = host.Log();
    EXPECT_EQ(log.find("[E]"), std::string::npos) << log;
    EXPECT_NE(log.find(sink == "auto" ? "[camhost] nothing to serve the camera into: PipeWire is "
                                        "not installed and no v4l2loopback device"
                                      : "[camhost] pipewire: PipeWire is not installed here (no "
                                        "client.conf); install the pipewire package\n"),
              std::string::npos)
        << log;
  }
}

// The pictures `consumer` received per second over `seconds` from now.
double RateOver(const test::PipeWireConsumer& consumer, double seconds) {
  const size_t before = consumer.Count();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const std::vector<test::ConsumedBuffer> buffers = consumer.Buffers();
  if (buffers.size() < before + 2) return 0;
  const double span =
      static_cast<double>(buffers.back().received_ns - buffers[before].received_ns) / 1e9;
  return span > 0 ? static_cast<double>(buffers.size() - before - 1) / span : 0;
}

// Whether `text` shows up in `file` within 20 s.
bool FileGains(const fs::path& file, const std::string& text) {
  return WaitUntil([&] { return ReadFileText(file).value_or("").find(text) != std::string::npos; },
                   20s);
}

// Apps linked by WirePlumber, as on a desktop. Apps that stop returning
// buffers (one of ours that keeps them, a GStreamer pipeline frozen on its
// first picture) must not starve the others, and camera pickers still list
// one camera.
TEST(PipeWireE2E, AppsThatStopReadingStallNoOtherAppAndPickersSeeOneCamera) {
  test::ReceiverProcess receiver;
  receiver.EnableCamera();
  receiver.EnablePipeWire();
  ASSERT_TRUE(test::RegisterCameraLibrary(receiver));
  const fs::path runtime = receiver.root() / "run";
  std::string why;
  auto daemon = test::PipeWireDaemon::Start(runtime, why);
  if (!daemon) GTEST_SKIP() << "no private PipeWire daemon could run: " << why;
  auto manager = test::SessionManager::Start(runtime, why);
  if (!manager) GTEST_SKIP() << "no WirePlumber could run: " << why;

  HostProcess host(receiver, {"--sink", "pipewire"});
  ASSERT_TRUE(host.WaitForLog("[camhost] connected to PipeWire; \"Orlith Cam\" is a video source\n"))
      << host.Log();
  ASSERT_TRUE(receiver.Start());
  ASSERT_TRUE(host.WaitForLog("[camhost] serving \"Orlith Cam\" into pipewire\n")) << host.Log();

  using Consumer = test::PipeWireConsumer;
  auto reader = Consumer::Connect(runtime, "NV12", why, Consumer::Linked::kBySessionManager);
  ASSERT_NE(reader, nullptr) << why << "\n" << host.Log();
  ASSERT_TRUE(WaitUntil([&] { return reader->Count() >= 10; })) << host.Log();

  auto stalled = Consumer::Connect(runtime, "NV12", why, Consumer::Linked::kBySessionManager,
                                   Consumer::Returns::kNoBuffer);
  ASSERT_NE(stalled, nullptr) << why << "\n" << host.Log();
  ASSERT_TRUE(WaitUntil([&] { return stalled->Count() >= 1; })) << host.Log();
  // GStreamer's PipeWire source keeps every buffer it has queued while its
  // pipeline sleeps on the first picture.
  const fs::path frozen_log = receiver.root() / "frozen.log";
  auto frozen = std::make_unique<test::ClientProgram>(
      std::vector<std::string>{"sh", "-c",
                               // WirePlumber links only streams that name their media type.
                               "exec gst-launch-1.0 -v pipewiresrc stream-properties=props,"
                               "media.type=Video,media.category=Capture,media.role=Camera ! "
                               "video/x-raw,format=NV12 ! identity silent=false "
                               "sleep-time=600000000 ! fakesink 1>&2"},
      receiver.Environment(), frozen_log);
  ASSERT_TRUE(FileGains(frozen_log, "last-message = chain"))
      << ReadFileText(frozen_log).value_or("") << host.Log();
  // An app that takes only a format the camera does not offer gets nothing;
  // the others go on, each with buffers of its own.
  auto unsuited = Consumer::Connect(runtime, "RGB", why);
  ASSERT_NE(unsuited, nullptr) << why << "\n" << host.Log();
  EXPECT_TRUE(host.WaitForLog("[camhost] PipeWire could not link a camera app to its own node: "))
      << host.Log();
  // By now both keep every buffer they were given.
  std::this_thread::sleep_for(1s);
  const double rate = RateOver(*reader, 5);
  EXPECT_GE(rate, 29.0) << host.Log();
  std::printf("with two stalled apps: %.2f pictures per second; ours kept %zu\n", rate,
              stalled->Count());

  const fs::path listing = receiver.root() / "devices.txt";
  test::ClientProgram monitor({"sh", "-c", "exec gst-device-monitor-1.0 Video/Source 1>&2"},
                              receiver.Environment(), listing);
  ASSERT_TRUE(WaitUntil([&] { return !monitor.running(); }, 20s));
  const std::string devices = ReadFileText(listing).value_or("");
  const std::string name = "name  : Orlith Cam\n";
  EXPECT_NE(devices.find(name), std::string::npos) << devices;
  EXPECT_EQ(devices.find(name), devices.rfind(name)) << devices;

  EXPECT_EQ(unsuited->Count(), 0u);
  EXPECT_EQ(host.Log().find("apps share the camera's buffers"), std::string::npos) << host.Log();
  unsuited.reset();
  frozen.reset();
  stalled.reset();
  reader.reset();
  EXPECT_TRUE(host.WaitForLog("[camhost] no PipeWire consumer is reading; pulling no samples\n"))
      << host.Log();
  // The apps' own nodes went with them.
  const fs::path dump = receiver.root() / "dump.json";
  const std::string own_node = "\"node.name\": \"Orlith Cam ";
  EXPECT_TRUE(WaitUntil([&] {
    test::ClientProgram objects({"sh", "-c", "exec pw-dump 1>&2"}, receiver.Environment(), dump);
    if (!WaitUntil([&] { return !objects.running(); }, 10s)) return false;
    const std::string text = ReadFileText(dump).value_or("");
    return text.find("\"node.name\": \"Orlith Cam\"") != std::string::npos &&
           text.find(own_node) == std::string::npos;
  })) << ReadFileText(dump).value_or("");
  EXPECT_EQ(receiver.RunCommand({VISTREL_BINARY, "--remove-camera"}), 0);
  EXPECT_EQ(host.Wait(), 0) << host.Log();
  EXPECT_EQ(receiver.Quit(), 0);
  SharedMemory::Unlink(receiver.ExchangeName());
}

}  // namespace
}  // namespace vistrel
