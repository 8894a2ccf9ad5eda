// vistrel-phone: the phone simulator's command line.
//   vistrel-phone pair URL [--name NAME] [--host H] [--port P] [--state DIR]
//   vistrel-phone hello --host H [--port P] [--seconds N] [--name NAME] [--state DIR]
//   vistrel-phone webcam --host H [--port P] [--fps 15|30] [--seconds N] [--size WxH]
//                        [--pause-after S] [--name NAME] [--state DIR]
//   vistrel-phone monitor --host H [webcam's options] [--motion START-END]
//                         [--mode-switch S] [--jitter MS] [--repeat-ts]
//   vistrel-phone usbmuxd --listen PATH|HOST:PORT ... (a usbmux stand-in; see usbmuxd_command.cpp)
//   vistrel-phone scan FILE... --host H [--port P] [--mime M] [--name N] [--chunk BYTES]
//                     [--bad-digest] [--extra-bytes N] [--stop-after BYTES] [--parallel N]
//   vistrel-phone text TEXT --host H [--port P] [--kind barcode|ocr] [--action type|copy]
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/json.h"
#include "platform/clock.h"
#include "platform/folders.h"
#include "platform/socket.h"
#include "platform/files.h"
#include "tools/phone/phone.h"
#include "tools/phone/usbmuxd.h"
#include "tools/phone/scan.h"
#include "tools/phone/webcam.h"

namespace {

using namespace vistrel;
using namespace vistrel::phone;

struct Args {
  std::string command;
  std::string url;
  std::string host;
  uint16_t port = 47800;
  std::string name = "Simulated iPhone";
  std::filesystem::path state;
  int seconds = 10;
  uint32_t fps = 30;
  int width = 1280;
  int height = 720;
  double pause_after = -1;
  double motion_start = -1;
  double motion_end = -1;
  double mode_switch = -1;
  double jitter_ms = 0;
  bool repeat_timestamps = false;
  std::vector<std::string> files;  // scan; the text of "text"
  std::string mime;
  std::string file_name;
  bool name_given = false;
  size_t chunk = 262'144;
  bool bad_digest = false;
  uint64_t extra_bytes = 0;
  int64_t stop_after = -1;
  size_t parallel = 1;
  std::string kind = "barcode";
  std::string action = "type";
};

bool ParseCount(const std::string& text, uint64_t& value) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || *end || errno != 0 || text[0] == '-') return false;
  value = parsed;
  return true;
}

constexpr char kUsage[] =
    "usage: vistrel-phone pair URL [--name NAME] [--host H] [--port P] [--state DIR]\n"
               "       vistrel-phone hello --host H [--port P] [--seconds N] [--name NAME] "
               "[--state DIR]\n"
               "       vistrel-phone webcam --host H [--port P] [--fps 15|30] [--seconds N] "
               "[--size WxH] [--pause-after S] [--name NAME] [--state DIR]\n"
               "       vistrel-phone monitor --host H [the webcam options] [--motion START-END] "
               "[--mode-switch S] [--jitter MS] [--repeat-ts]\n"
               "       vistrel-phone usbmuxd --listen PATH|HOST:PORT [--attach SERIAL[@S]]... "
               "[--detach SERIAL@S]... [--network-device SERIAL]... [--refuse-connect N] "
               "[--garbage] [--seconds N]\n"

               "       vistrel-phone scan FILE... --host H [--port P] [--mime M] [--name N] "
               "[--chunk BYTES] [--bad-digest] [--extra-bytes N] [--stop-after BYTES] "
               "[--parallel N]\n"
               "       vistrel-phone text TEXT --host H [--port P] [--kind barcode|ocr] "
               "[--action type|copy]\n"
               "       vistrel-phone --help | --version\n";

int Usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

bool KnownCommand(const std::string& command) {
  for (const char* known : {"pair", "hello", "webcam", "monitor", "scan", "text"}) {
    if (command == known) return true;
  }
  return false;
}

bool ParseArgs(int argc, char** argv, Args& args) {
  if (argc < 2) return false;
  args.command = argv[1];
  if (!KnownCommand(args.command)) return false;
  int i = 2;
  if (args.command == "pair") {
    if (argc < 3) return false;
    args.url = argv[2];
    i = 3;
  }
  for (; i < argc; ++i) {
    std::string option = argv[i];
    if (option == "--repeat-ts") {
      args.repeat_timestamps = true;
      continue;
    }
    if (option == "--bad-digest") {
      args.bad_digest = true;
      continue;
    }
    if ((args.command == "scan" || args.command == "text") && option.rfind("--", 0) != 0) {
      args.files.push_back(option);
      continue;
    }
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    if (option == "--host") {
      args.host = value;
    } else if (option == "--port") {
      char* end = nullptr;
      long port = std::strtol(value.c_str(), &end, 10);
      if (*end || port <= 0 || port > 65535) return false;
      args.port = static_cast<uint16_t>(port);
    } else if (option == "--name" && args.command != "scan") {
      args.name = value;
    } else if (option == "--state") {
      args.state = value;
    } else if (option == "--seconds") {
      args.seconds = std::atoi(value.c_str());
      if (args.seconds < 0) return false;
    } else if (option == "--fps") {
      args.fps = static_cast<uint32_t>(std::atoi(value.c_str()));
      if (args.fps != 15 && args.fps != 30) return false;
    } else if (option == "--size") {
      if (std::sscanf(value.c_str(), "%dx%d", &args.width, &args.height) != 2 || args.width < 2 ||
          args.height < 2 || args.width > 4096 || args.height > 4096 || (args.width | args.height) & 1) {
        return false;
      }
    } else if (option == "--pause-after") {
      args.pause_after = std::atof(value.c_str());
    } else if (option == "--motion") {
      if (std::sscanf(value.c_str(), "%lf-%lf", &args.motion_start, &args.motion_end) != 2 ||
          args.motion_start < 0 || args.motion_end < args.motion_start) {
        return false;
      }
    } else if (option == "--mode-switch") {
      args.mode_switch = std::atof(value.c_str());
    } else if (option == "--mime") {
      args.mime = value;
    } else if (option == "--name" && args.command == "scan") {
      args.file_name = value;
      args.name_given = true;
    } else if (option == "--chunk" || option == "--extra-bytes" || option == "--stop-after" ||
               option == "--parallel") {
      uint64_t count = 0;
      if (!ParseCount(value, count)) return false;
      if (option == "--chunk") {
        if (count == 0 || count > 262'144) return false;
        args.chunk = count;
      } else if (option == "--extra-bytes") {
        args.extra_bytes = count;
      } else if (option == "--stop-after") {
        args.stop_after = static_cast<int64_t>(count);
      } else {
        if (count == 0 || count > 64) return false;
        args.parallel = count;
      }
    } else if (option == "--kind") {
      args.kind = value;
    } else if (option == "--action") {
      args.action = value;
    } else if (option == "--jitter") {
      args.jitter_ms = std::atof(value.c_str());
      if (args.jitter_ms < 0 || args.jitter_ms > 1000) return false;
    } else {
      return false;
    }
  }
  if ((args.command == "scan" && args.files.empty()) ||
      (args.command == "text" && args.files.size() != 1) ||
      (args.command != "pair" && args.host.empty())) {
    return false;
  }
  if (args.state.empty()) args.state = CameraLogFolder().parent_path() / "vistrel-phone";
  return true;
}

// Connects and shakes hands; says so on standard error when it cannot.
std::unique_ptr<PhoneLink> ConnectOrSay(Phone& phone, const std::string& host, uint16_t port) {
  auto link = phone.Connect(host, port);
  if (!link) std::fprintf(stderr, "vistrel-phone: could not connect to %s:%u\n", host.c_str(), port);
  return link;
}

int RunPair(const Args& args, Phone& phone) {
  auto url = ParsePairingUrl(args.url);
  if (!url) {
    std::fprintf(stderr, "vistrel-phone: not a pairing URL\n");
    return 2;
  }
  std::string host = args.host;
  uint16_t port = args.port;
  if (host.empty()) {
    if (url->addresses.empty()) {
      std::fprintf(stderr, "vistrel-phone: the URL lists no address; give --host\n");
      return 2;
    }
    const std::string& first = url->addresses.front();
    host = first.substr(0, first.rfind(':'));
    port = static_cast<uint16_t>(std::atoi(first.substr(first.rfind(':') + 1).c_str()));
  }
  auto link = ConnectOrSay(phone, host, port);
  if (!link) return 1;
  PairRequest request;
  request.device_name = args.name;
  std::printf("code %s (confirm it on the receiver)\n",
              ExpectedCode(*url, phone.fingerprint()).value_or("?").c_str());
  std::fflush(stdout);
  PairOutcome outcome = Pair(*link, *url, phone.fingerprint(), request);
  if (!outcome.received_code.empty() && outcome.received_code != outcome.expected_code) {
    std::printf("CODE MISMATCH: the receiver shows %s\n", outcome.received_code.c_str());
    return 1;
  }
  std::printf("%s\n", outcome.paired ? "paired" : ("not paired: " + outcome.error).c_str());
  return outcome.paired ? 0 : 1;
}

int RunHello(const Args& args, Phone& phone) {
  auto link = ConnectOrSay(phone, args.host, args.port);
  if (!link) return 1;
  link->Send(kHello, HelloJson(args.name, 30));
  Frame reply = link->Read(5000);
  if (reply.result != ReadResult::kOk || reply.type != kHelloReply) {
    std::fprintf(stderr, "vistrel-phone: no HELLO_REPLY\n");
    return 1;
  }
  std::printf("%.*s\n", static_cast<int>(reply.payload.size()),
              reinterpret_cast<const char*>(reply.payload.data()));
  JsonParseResult parsed = JsonParse(AsText(reply.payload));
  const JsonValue* ok = parsed.ok ? JsonFind(parsed.value, "ok") : nullptr;
  if (!ok || !ok->boolean) return 1;
  link->Send(kStatus, "{\"battery\":0.8,\"thermal\":\"nominal\",\"model\":\"iPhone15,2\"}");
  const uint64_t end = TickMs() + static_cast<uint64_t>(args.seconds) * 1000;
  while (TickMs() < end) {
    Frame frame = link->Read(std::min<uint64_t>(1000, end - TickMs()));
    if (frame.result == ReadResult::kFailed) {
      std::printf("the receiver closed the session\n");
      return 1;
    }
    if (frame.result == ReadResult::kOk && frame.type == kPing) link->Send(kPong, frame.payload);
  }
  std::printf("session ended after %d s\n", args.seconds);
  return 0;
}

int RunWebcamCommand(const Args& args, Phone& phone) {
  auto link = ConnectOrSay(phone, args.host, args.port);
  if (!link) return 1;
  WebcamOptions options;
  options.monitor = args.command == "monitor";
  options.motion_start = args.motion_start;
  options.motion_end = args.motion_end;
  options.mode_switch = args.mode_switch;
  options.jitter_us = static_cast<int64_t>(args.jitter_ms * 1000);
  options.repeat_timestamps = args.repeat_timestamps;
  options.device_name = args.name;
  options.fps = args.fps;
  options.width = args.width;
  options.height = args.height;
  options.seconds = args.seconds;
  options.pause_after = args.pause_after;
  WebcamReport report = RunWebcam(*link, options);
  std::printf("%s\n", report.hello_reply.c_str());
  if (!report.accepted) return 1;
  std::printf("sent %u access units (%u keyframes, %u on request) at %ux%u, %u fps; "
              "%u ALLOW, %u BLOCK%s\n",
              report.video_sent, report.keyframes_sent, report.keyframe_requests, args.width,
              args.height, args.fps, report.allows, report.blocks,
              report.closed_by_receiver ? "; the receiver closed the session" : "");
  return report.closed_by_receiver ? 1 : 0;
}

int RunScan(const Args& args, Phone& phone) {
  std::vector<ScanFile> files;
  for (const std::string& path : args.files) {
    std::optional<std::string> bytes = ReadFileText(path, 1ull << 30);
    if (!bytes) {
      std::fprintf(stderr, "vistrel-phone: cannot read %s\n", path.c_str());
      return 2;
    }
    ScanFile file;
    file.name = args.name_given ? args.file_name : std::filesystem::path(path).filename().string();
    file.mime = args.mime.empty() ? MimeForName(path) : args.mime;
    file.bytes = std::move(*bytes);
    if (args.bad_digest) {
      Digest digest = Sha256(AsBytes(file.bytes));
      digest[0] ^= 1;
      file.sha256 = HexEncode(digest);
    }
    files.push_back(std::move(file));
  }
  auto link = ConnectOrSay(phone, args.host, args.port);
  if (!link) return 1;
  std::string hello_reply;
  if (!OpenScanSession(*link, args.name, hello_reply)) {
    std::printf("%s\n", hello_reply.empty() ? "no HELLO_REPLY" : hello_reply.c_str());
    return 1;
  }
  ScanOptions options;
  options.chunk = args.chunk;
  options.extra_bytes = args.extra_bytes;
  if (args.stop_after >= 0) options.stop_after = static_cast<uint64_t>(args.stop_after);
  options.parallel = args.parallel;
  const size_t count = files.size();
  ScanReport report = SendFiles(*link, std::move(files), options);
  for (const FileResult& result : report.results) std::printf("%s\n", result.json.c_str());
  if (report.stopped) std::printf("left in the middle of the transfer\n");
  if (report.closed_by_receiver) std::printf("the receiver closed the session\n");
  const bool all_saved = report.results.size() == count &&
                         std::all_of(report.results.begin(), report.results.end(),
                                     [](const FileResult& r) { return r.ok; });
  return all_saved ? 0 : 1;
}

int RunText(const Args& args, Phone& phone) {
  auto link = ConnectOrSay(phone, args.host, args.port);
  if (!link) return 1;
  std::string hello_reply;
  if (!OpenScanSession(*link, args.name, hello_reply)) {
    std::printf("%s\n", hello_reply.empty() ? "no HELLO_REPLY" : hello_reply.c_str());
    return 1;
  }
  link->Send(kText, TextJson(args.files.front(), args.kind, args.action));
  // TEXT has no answer; a PING round trip shows that the receiver has read it.
  link->Send(kPing, "sent");
  for (;;) {
    Frame frame = link->Read(5000);
    if (frame.result != ReadResult::kOk) {
      std::printf("the receiver did not answer\n");
      return 1;
    }
    if (frame.type == kPong) break;
  }
  std::printf("sent %s (%s)\n", args.kind.c_str(), args.action.c_str());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && std::string(argv[1]) == "usbmuxd") return RunUsbmuxdCommand(argc, argv);
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
  }
  if (argc == 2 && std::string(argv[1]) == "--version") {
    std::printf("vistrel-phone %s\n", VISTREL_VERSION);
    return 0;
  }
  // The whole command line is checked before the phone's identity exists: a
  // mistyped command must not leave a private key behind.
  Args args;
  if (!ParseArgs(argc, argv, args)) return Usage();
  IgnoreSigpipe();
  auto phone = Phone::Create(args.state);
  if (!phone) {
    std::fprintf(stderr, "vistrel-phone: cannot make the phone's identity in %s\n",
                 args.state.c_str());
    return 1;
  }
  if (args.command == "pair") return RunPair(args, *phone);
  if (args.command == "hello") return RunHello(args, *phone);
  if (args.command == "webcam" || args.command == "monitor") return RunWebcamCommand(args, *phone);
  if (args.command == "scan") return RunScan(args, *phone);
  if (args.command == "text") return RunText(args, *phone);
  return Usage();
}
