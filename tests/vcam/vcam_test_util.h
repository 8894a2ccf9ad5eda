// Loads the camera library with dlopen and drives it through its exports and
// the media-object interfaces, as the camera host does.
#pragma once

#include <string>

#include "platform/mf/exports.h"
#include "platform/mf/mf.h"
#include "tests/support/temp_folder.h"

namespace vistrel::test {

struct CameraLibrary {
  void* handle = nullptr;
  DllGetClassObjectFn get_class_object = nullptr;
  DllCanUnloadNowFn can_unload_now = nullptr;
  DllRegisterServerFn register_server = nullptr;
  DllUnregisterServerFn unregister_server = nullptr;
};

// Loaded once per test program and never unloaded.
const CameraLibrary& Library();

// Sets XDG_STATE_HOME (with a Vistrel folder for vcam.log) and
// VSTL_REGISTRY_ROOT to folders of its own, and gives each camera a frame
// exchange name of its own.
class VcamEnvironment {
 public:
  VcamEnvironment();
  ~VcamEnvironment();
  std::string LogText() const;
  const std::string& exchange_name() const { return exchange_name_; }
  std::filesystem::path registry_root() const { return folder_ / "registry"; }

 private:
  TempFolder folder_;
  std::string exchange_name_;
};

ComPtr<IMFActivate> CreateActivator();
// An activated source with the exchange name set.
ComPtr<IMFMediaSourceEx> ActivateSource(IMFActivate* activator, const std::string& name);
// Starts the source with its own presentation descriptor and returns the
// stream announced by MENewStream/MEUpdatedStream.
ComPtr<IMFMediaStream2> StartSource(IMFMediaSourceEx* source);
// The events queued so far, without waiting.
std::vector<MediaEventType> DrainEvents(IMFMediaEventGenerator* generator);
// RequestSample and the sample of the MEMediaSample event that follows.
HRESULT RequestOne(IMFMediaStream2* stream, ComPtr<IMFSample>& sample, IUnknown* token = nullptr);

// While it lives, the `nth` allocation (from 0) of this thread through any
// operator new, the library's included, fails as when memory runs out.
class FailingAllocation {
 public:
  explicit FailingAllocation(long nth);
  ~FailingAllocation();
  FailingAllocation(const FailingAllocation&) = delete;
  FailingAllocation& operator=(const FailingAllocation&) = delete;
  // Whether that allocation came.
  bool failed() const;
};

}  // namespace vistrel::test
