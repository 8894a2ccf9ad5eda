// Virtual cameras for camera apps: a camera is a record in the user's registry
// hive that the camera host (vistrel-camhost) serves. The receiver creates and
// starts it; the host loads the library registered for the record's source
// class and feeds the pictures to the user's camera apps.
//
// Record layout, user hive, key "SOFTWARE\Vistrel\Cameras\<source id>":
//   default value  friendly name (written last: a record without it is not
//                  complete yet)
//   "Type"         "software camera source"
//   "Lifetime"     "system" or "session"
//   "Access"       "current user"
//   subkey "Attributes": one value per attribute, named by its GUID text.
// A session-lifetime record goes when its camera object is stopped, shut down
// or destroyed; a system-lifetime record stays until Remove.
//
// Results are HRESULT values (0 on success).
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "platform/unique_handle.h"

namespace vistrel {

using CameraResult = int32_t;
inline constexpr CameraResult kCameraOk = 0;
inline constexpr CameraResult kCameraInvalidArg = static_cast<CameraResult>(0x80070057);
inline constexpr CameraResult kCameraShutDown = static_cast<CameraResult>(0xC00D3E85);
// 0x80070000 with the low 16 bits of an errno value.
CameraResult CameraResultFromErrno(int error);

enum class VirtualCameraType { kSoftwareCameraSource };
enum class VirtualCameraLifetime { kSystem, kSession };
enum class VirtualCameraAccess { kCurrentUser };

inline constexpr char kCameraRecordsKey[] = "SOFTWARE\\Vistrel\\Cameras";
inline constexpr char kCameraHostLockFile[] = "camhost.lock";
inline constexpr char kCameraHostLogFile[] = "camhost.log";
inline constexpr char kCameraHostProgram[] = "vistrel-camhost";

// True for "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" in either case.
bool IsGuidText(std::string_view text);

class VirtualCamera {
 public:
  // Checks the arguments only; nothing is written before Start.
  static CameraResult Create(VirtualCameraType type, VirtualCameraLifetime lifetime,
                             VirtualCameraAccess access, std::string_view friendly_name,
                             std::string_view source_id, std::unique_ptr<VirtualCamera>& out);
  // A session camera that was started goes away with its object.
  ~VirtualCamera();
  VirtualCamera(const VirtualCamera&) = delete;
  VirtualCamera& operator=(const VirtualCamera&) = delete;

  // `attribute` is a GUID text; the value is written at the next Start.
  CameraResult SetString(std::string_view attribute, std::string_view value);
  // Writes the record and makes sure a camera host runs for this user.
  CameraResult Start();
  // A session camera's record is removed; a system camera stays for apps.
  CameraResult Stop();
  // Stop's rule, then every later call answers kCameraShutDown. Never removes a
  // system camera.
  CameraResult Shutdown();
  // Deletes the record whatever the lifetime; a record that is not there
  // counts as removed.
  CameraResult Remove();

  const std::string& key() const { return key_; }

 private:
  VirtualCamera(VirtualCameraLifetime lifetime, std::string friendly_name, std::string source_id);
  CameraResult WriteRecord();
  void DropSessionRecord();

  const VirtualCameraLifetime lifetime_;
  const std::string friendly_name_;
  const std::string source_id_;
  const std::string key_;
  std::map<std::string, std::string> attributes_;
  bool started_ = false;
  bool shut_down_ = false;
};

// A record as the camera host reads it.
struct CameraRecord {
  std::string source_id;
  std::string friendly_name;
  VirtualCameraLifetime lifetime = VirtualCameraLifetime::kSystem;
  std::map<std::string, std::string> attributes;  // GUID text -> value
};

// The complete records of this user, in key order; incomplete or malformed
// ones are skipped.
std::vector<CameraRecord> ReadCameraRecords();
// Whether the record of `source_id` still exists.
bool CameraRecordExists(std::string_view source_id);

// Takes the per-user camera host lock. The error is EWOULDBLOCK when another
// host holds it, else why the lock file cannot be used.
Result<UniqueFd> LockCameraHost(const std::filesystem::path& runtime_folder);

}  // namespace vistrel
