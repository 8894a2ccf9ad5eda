#include "platform/virtual_camera.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "platform/detached_process.h"
#include "platform/folders.h"
#include "platform/log.h"
#include "platform/registry.h"

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr RegistryHive kHive = RegistryHive::kUser;
constexpr size_t kMaxFriendlyName = 255;
constexpr char kTypeText[] = "software camera source";
constexpr char kAccessText[] = "current user";

std::string RecordKey(std::string_view source_id) {
  return std::string(kCameraRecordsKey) + "\\" + std::string(source_id);
}

const char* LifetimeText(VirtualCameraLifetime lifetime) {
  return lifetime == VirtualCameraLifetime::kSystem ? "system" : "session";
}

bool IsExecutable(const fs::path& path) {
  return !path.empty() && ::access(path.c_str(), X_OK) == 0 && fs::is_regular_file(path);
}

// $VISTREL_CAMHOST, else next to this program, else the build tree's camhost/.
fs::path FindCameraHost() {
  if (const char* env = std::getenv("VISTREL_CAMHOST"); env && env[0] == '/') return env;
  std::error_code ec;
  fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return {};
  for (const fs::path& candidate :
       {self.parent_path() / kCameraHostProgram,
        self.parent_path().parent_path() / "camhost" / kCameraHostProgram}) {
    if (IsExecutable(candidate)) return candidate;
  }
  return {};
}

// Starts a camera host unless one already holds the lock. Trouble here is only
// logged: the record stands, and a host started later serves it.
void EnsureCameraHost() {
  auto runtime = RuntimeFolder();
  if (!runtime) {
    LogLine("[vcam] no runtime folder; the camera host cannot be started\n");
    return;
  }
  // A host serves this user already when the lock is held.
  if (LockCameraHost(*runtime).code() == EWOULDBLOCK) return;
  fs::path program = FindCameraHost();
  if (program.empty()) {
    LogLine("[vcam] %s was not found; camera apps see the camera once it runs\n",
            kCameraHostProgram);
    return;
  }
  if (Status started = StartDetached(program, {}, *runtime / kCameraHostLogFile); !started) {
    LogLine("[vcam] could not start %s (%d)\n", program.c_str(), started.code());
    return;
  }
  LogLine("[vcam] started the camera host %s\n", program.c_str());
}

}  // namespace

CameraResult CameraResultFromErrno(int error) {
  if (error == 0) return kCameraOk;
  return static_cast<CameraResult>(0x80070000u | (static_cast<uint32_t>(error) & 0xFFFFu));
}

bool IsGuidText(std::string_view text) {
  static constexpr std::string_view kShape = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  if (text.size() != kShape.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] == 'X' ? !std::isxdigit(static_cast<unsigned char>(text[i]))
                         : text[i] != kShape[i]) {
      return false;
    }
  }
  return true;
}

VirtualCamera::VirtualCamera(VirtualCameraLifetime lifetime, std::string friendly_name,
                             std::string source_id)
    : lifetime_(lifetime),
      friendly_name_(std::move(friendly_name)),
      source_id_(std::move(source_id)),
      key_(RecordKey(source_id_)) {}

VirtualCamera::~VirtualCamera() {
  if (!shut_down_) DropSessionRecord();
}

CameraResult VirtualCamera::Create(VirtualCameraType type, VirtualCameraLifetime lifetime,
                                   VirtualCameraAccess access, std::string_view friendly_name,
                                   std::string_view source_id,
                                   std::unique_ptr<VirtualCamera>& out) {
  out.reset();
  if (type != VirtualCameraType::kSoftwareCameraSource ||
      access != VirtualCameraAccess::kCurrentUser || friendly_name.empty() ||
      friendly_name.size() > kMaxFriendlyName ||
      friendly_name.find('\0') != std::string_view::npos || !IsGuidText(source_id)) {
    return kCameraInvalidArg;
  }
  out.reset(new VirtualCamera(lifetime, std::string(friendly_name), std::string(source_id)));
  return kCameraOk;
}

CameraResult VirtualCamera::SetString(std::string_view attribute, std::string_view value) {
  if (shut_down_) return kCameraShutDown;
  if (!IsGuidText(attribute) || value.find('\0') != std::string_view::npos ||
      value.size() > kMaxRegistryValueBytes) {
    return kCameraInvalidArg;
  }
  attributes_[std::string(attribute)] = std::string(value);
  return kCameraOk;
}

CameraResult VirtualCamera::WriteRecord() {
  const std::string attributes_key = key_ + "\\Attributes";
  if (Status status = CreateKey(attributes_key, kHive); !status) {
    return CameraResultFromErrno(status.code());
  }
  for (const auto& [name, text] : std::initializer_list<std::pair<const char*, const char*>>{
           {"Type", kTypeText}, {"Lifetime", LifetimeText(lifetime_)}, {"Access", kAccessText}}) {
    if (Status status = SetStringValue(key_, name, text, kHive); !status) {
      return CameraResultFromErrno(status.code());
    }
  }
  // Attributes left from an earlier start that this camera no longer sets.
  if (auto existing = ListValues(attributes_key, kHive)) {
    for (const std::string& name : *existing) {
      if (!attributes_.contains(name)) (void)DeleteValue(attributes_key, name, kHive);
    }
  }
  for (const auto& [name, text] : attributes_) {
    if (Status status = SetStringValue(attributes_key, name, text, kHive); !status) {
      return CameraResultFromErrno(status.code());
    }
  }
  // Last: the friendly name marks the record complete for the host.
  return CameraResultFromErrno(SetStringValue(key_, "", friendly_name_, kHive).code());
}

CameraResult VirtualCamera::Start() {
  if (shut_down_) return kCameraShutDown;
  if (CameraResult result = WriteRecord(); result != kCameraOk) return result;
  started_ = true;
  EnsureCameraHost();
  return kCameraOk;
}

void VirtualCamera::DropSessionRecord() {
  if (lifetime_ == VirtualCameraLifetime::kSession && started_) (void)DeleteTree(key_, kHive);
  started_ = false;
}

CameraResult VirtualCamera::Stop() {
  if (shut_down_) return kCameraShutDown;
  DropSessionRecord();
  return kCameraOk;
}

CameraResult VirtualCamera::Shutdown() {
  if (shut_down_) return kCameraShutDown;
  DropSessionRecord();
  shut_down_ = true;
  return kCameraOk;
}

CameraResult VirtualCamera::Remove() {
  if (shut_down_) return kCameraShutDown;
  const int error = DeleteTree(key_, kHive).code();
  started_ = false;
  return error == ENOENT ? kCameraOk : CameraResultFromErrno(error);
}

std::vector<CameraRecord> ReadCameraRecords() {
  std::vector<CameraRecord> records;
  const auto keys = ListSubkeys(kCameraRecordsKey, kHive);
  if (!keys) return records;
  for (const std::string& source_id : *keys) {
    if (!IsGuidText(source_id)) continue;
    const std::string key = RecordKey(source_id);
    CameraRecord record;
    record.source_id = source_id;
    const auto friendly_name = GetStringValue(key, "", kHive);
    const auto lifetime = GetStringValue(key, "Lifetime", kHive);
    if (!friendly_name || friendly_name->empty() || !lifetime) continue;
    record.friendly_name = *friendly_name;
    if (*lifetime == "session") {
      record.lifetime = VirtualCameraLifetime::kSession;
    } else if (*lifetime != "system") {
      continue;
    }
    const auto names = ListValues(key + "\\Attributes", kHive);
    for (const std::string& name : names.value_or({})) {
      if (!IsGuidText(name)) continue;
      if (auto value = GetStringValue(key + "\\Attributes", name, kHive)) {
        record.attributes[name] = std::move(*value);
      }
    }
    records.push_back(std::move(record));
  }
  return records;
}

bool CameraRecordExists(std::string_view source_id) {
  if (!IsGuidText(source_id)) return false;
  return OpenKey(RecordKey(source_id), KeyAccess::kRead, kHive).ok();
}

Result<UniqueFd> LockCameraHost(const fs::path& runtime_folder) {
  const fs::path path = runtime_folder / kCameraHostLockFile;
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!fd) return ErrorFromErrno(errno);
  if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return ErrorFromErrno(errno);
  return fd;
}

}  // namespace vistrel
