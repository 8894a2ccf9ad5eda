#include "app/console.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "app/qr_text.h"
#include "app/receiver.h"
#include "platform/desktop.h"
#include "platform/log.h"
#include "platform/portal_keyboard.h"
#include "platform/socket.h"
#include "platform/stop_signals.h"
#include "platform/unique_handle.h"
#include "platform/virtual_camera.h"
#include "security/phone_text.h"

namespace vistrel {
namespace {

constexpr size_t kMinForgetPrefix = 8;

// End of input stops the console only for a terminal or a pipe; under a
// service manager stdin is /dev/null or a file and the receiver runs on.
bool InputCanEnd() {
  struct stat st{};
  if (::fstat(STDIN_FILENO, &st) != 0) return false;
  return ::isatty(STDIN_FILENO) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

void Print(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string::npos) return {};
  size_t end = text.find_last_not_of(" \t\r");
  return text.substr(begin, end - begin + 1);
}

constexpr const char* kHelp =
    "commands:\n"
    "  pair             open a pairing invitation (URL and QR code)\n"
    "  a, approve       approve the pending pairing request\n"
    "  r, reject        reject the pending pairing request\n"
    "  cancel           close the pairing invitation\n"
    "  pause, resume    block or allow the camera\n"
    "  phones           list trusted phones\n"
    "  forget PREFIX    forget the phone whose fingerprint starts with PREFIX\n"
    "  status           one line of status\n"
    "  clips            the newest recorded clips\n"
    "  scans            the newest scans: files, texts and barcodes\n"
    "  help, quit\n";

std::string StatusLine(const ReceiverStatus& s) {
  std::string line = "session=" + std::string(s.session_state ? "active" : "none");
  if (s.session_state) {
    line += " phone=\"" + s.phone_name + "\" link=" + s.link_kind;
    if (!s.phone_model.empty()) line += " model=\"" + s.phone_model + "\"";
    if (s.battery >= 0) line += " battery=" + std::to_string(static_cast<int>(s.battery * 100)) + "%";
  }
  line += std::string(" camera=") + (s.camera_allowed ? "allowed" : "blocked");
  line += " pairing=";
  line += s.pairing_request_pending ? "pending(code " + s.pairing_code + ")"
          : s.pairing_open          ? "open"
                                    : "closed";
  line += " video=" + std::to_string(s.video_received) +
          " decoded=" + std::to_string(s.frames_decoded) +
          " delivered=" + std::to_string(s.frames_delivered) +
          " dropped=" + std::to_string(s.video_dropped) +
          " camera_reads=" + std::to_string(s.frames_read_by_camera);
  line += std::string(" usb=") + (s.usb_service_reachable ? "listening" : "not-listening") +
          " usb_phones=" + std::to_string(s.usb_phones);
  if (!s.refused_phone.empty()) line += " refused=\"" + s.refused_phone + "\"";
  const MonitorStatus& m = s.monitor;
  char monitor[192];
  std::snprintf(monitor, sizeof monitor,
                " monitor=%s recording=%s motion=%s alerts=%llu clips_version=%llu changed=%.1f%%"
                " analysed=%llu detect_avg=%.3fms detect_max=%.3fms",
                m.active ? "on" : "off", m.recording ? "yes" : "no", m.motion_active ? "yes" : "no",
                static_cast<unsigned long long>(m.alert_count),
                static_cast<unsigned long long>(m.clip_list_version), m.last_fraction * 100.0,
                static_cast<unsigned long long>(m.pictures_analysed), m.average_ms, m.maximum_ms);
  return line + monitor + " scans_revision=" + std::to_string(s.scans_revision) + "\n";
}

constexpr size_t kListedClips = 10;

void PrintClips(Receiver& receiver) {
  const std::vector<ClipEntry> clips = receiver.RecentClips(kListedClips);
  if (clips.empty()) Print("no clips\n");
  for (const ClipEntry& clip : clips) {
    const time_t start = static_cast<time_t>(clip.start_time);
    tm local{};
    localtime_r(&start, &local);
    char line[96];
    std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d  %-10s %8.1f s %12llu bytes  ",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, clip.continuous ? "continuous" : "motion",
                  double(clip.duration_ms) / 1000.0, static_cast<unsigned long long>(clip.size));
    Print(line + clip.path.string() + "\n");
  }
}

constexpr size_t kListedScans = 10;
// A text is shown as its first line, cleaned like anything else a phone sends.
constexpr size_t kShownTextBytes = 80;

std::string LocalTime(int64_t seconds) {
  const time_t time = static_cast<time_t>(seconds);
  tm local{};
  localtime_r(&time, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

void PrintScans(const Receiver& receiver) {
  const std::vector<ScanEntry> scans = receiver.RecentScans(kListedScans);
  if (scans.empty()) Print("no scans\n");
  for (const ScanEntry& scan : scans) {
    char head[96];
    std::snprintf(head, sizeof head, "%s  %-7s %12llu bytes  ", LocalTime(scan.time).c_str(),
                  CleanPhoneText(scan.kind, 7).c_str(), static_cast<unsigned long long>(scan.size));
    const std::string shown =
        scan.kind == "file"
            ? scan.path.string()
            : CleanPhoneText(scan.text.substr(0, scan.text.find_first_of("\r\n")), kShownTextBytes);
    Print(head + shown + "\n");
  }
}

void Forget(Receiver& receiver, const std::string& prefix) {
  if (prefix.size() < kMinForgetPrefix) {
    Print("forget: give at least 8 characters of the fingerprint\n");
    return;
  }
  std::string match;
  int matches = 0;
  for (const TrustedPhone& phone : receiver.TrustedPhones()) {
    if (phone.fingerprint.rfind(prefix, 0) == 0 && phone.fingerprint != match) {
      match = phone.fingerprint;
      ++matches;
    }
  }
  if (matches == 0) {
    Print("forget: no trusted phone starts with " + prefix + "\n");
  } else if (matches > 1) {
    Print("forget: " + prefix + " matches more than one phone; give more characters\n");
  } else {
    Print(receiver.ForgetPhone(match) ? "forgot " + match.substr(0, 12) + "\n"
                                      : "forget: the phone list could not be saved\n");
  }
}

// Returns false on "quit".
bool Execute(Receiver& receiver, const std::string& raw) {
  const std::string line = Trim(raw);
  if (line.empty()) return true;
  const std::string command = line.substr(0, line.find(' '));
  const std::string argument = Trim(line.substr(command.size()));
  if (command == "quit") return false;
  if (command == "help") {
    Print(kHelp);
  } else if (!receiver.running()) {
    Print("the receiver is not running\n");
  } else if (command == "pair") {
    std::string url = receiver.StartPairing();
    if (url.empty()) {
      Print("pair: no invitation could be opened\n");
    } else {
      std::optional<QrModules> qr = EncodeQr(url);
      Print(url + "\n" +
            (qr ? QrCodeText(*qr)
                : "(this URL is too long for a QR code; shorten the receiver name, "
                  "or enter the URL on the phone)\n"));
    }
  } else if (command == "a" || command == "approve") {
    receiver.pairing().Decide(true);
  } else if (command == "r" || command == "reject") {
    receiver.pairing().Decide(false);
  } else if (command == "cancel") {
    receiver.CancelPairing();
  } else if (command == "pause" || command == "resume") {
    receiver.server()->SetCameraAllowed(command == "resume");
  } else if (command == "phones") {
    auto phones = receiver.TrustedPhones();
    if (phones.empty()) Print("no trusted phones\n");
    for (const TrustedPhone& phone : phones) {
      Print(phone.fingerprint.substr(0, 12) + "  " + phone.device_name + "\n");
    }
  } else if (command == "forget") {
    Forget(receiver, argument);
  } else if (command == "status") {
    Print(StatusLine(receiver.GetStatus()));
  } else if (command == "clips") {
    PrintClips(receiver);
  } else if (command == "scans") {
    PrintScans(receiver);
  } else {
    Print("unknown command \"" + command + "\"; type help\n");
  }
  return true;
}

}  // namespace

const char* const kConsoleHelp = kHelp;

int RemoveCameraCommand() {
  std::unique_ptr<VirtualCamera> camera;
  if (VirtualCamera::Create(VirtualCameraType::kSoftwareCameraSource,
                            VirtualCameraLifetime::kSystem, VirtualCameraAccess::kCurrentUser,
                            kCameraFriendlyName, kCameraSourceId, camera) != kCameraOk) {
    return 1;
  }
  return camera->Remove() == kCameraOk ? 0 : 1;
}

int RunConsole(const CommandLine& command_line, SingleInstance& instance) {
  SetLogEcho(true);
  IgnoreSigpipe();
  instance.Listen([] { LogLine("[app] another start asked this receiver to show itself\n"); });

  // main blocked the stop signals before any thread started; here they
  // become readable events, so the loop below ends cleanly on them.
  UniqueFd signal_fd = StopSignalFd();

  std::error_code ec;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ec);
  Receiver receiver(SystemClock(), WithPortalKeyboardOnWayland(CreateDesktopInHelper(program)));
  const std::string failure = receiver.Start(command_line.options);
  if (!failure.empty()) {
    // A console that cannot receive anything says why and ends, so that a
    // service manager sees the failure instead of a healthy process.
    LogLine("[app] start failed: %s\n", failure.c_str());
    receiver.Stop();
    LogLine("[app] stopped\n");
    return 1;
  }

  const bool read_input = InputCanEnd();
  std::string pending;
  bool quit = false;
  while (!quit) {
    pollfd fds[2] = {{signal_fd.Get(), POLLIN, 0}, {read_input ? STDIN_FILENO : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) break;
    if (!fds[1].revents) continue;
    char buffer[4096];
    ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<size_t>(n));
    for (size_t eol; !quit && (eol = pending.find('\n')) != std::string::npos;) {
      quit = !Execute(receiver, pending.substr(0, eol));
      pending.erase(0, eol + 1);
    }
    // A line without an end that keeps growing is not a command.
    if (pending.size() > 65536) pending.clear();
  }
  receiver.Stop();
  LogLine("[app] stopped\n");
  return 0;
}

}  // namespace vistrel
