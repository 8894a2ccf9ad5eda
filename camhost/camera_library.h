// The camera library registered for a source class, loaded the way the
// platform's frame server loads an in-process server: the registration's
// InprocServer32 path, dlopen, DllGetClassObject.
#pragma once

#include <memory>
#include <string>

#include "platform/mf/exports.h"
#include "platform/mf/guid.h"

namespace vistrel {

class CameraLibrary {
 public:
  // Nothing, with the reason in `error`, when the class is not registered, the
  // path is not absolute, the library does not load or lacks the export.
  static std::unique_ptr<CameraLibrary> Load(const GUID& clsid, std::string& error);
  // Whether a library file is registered for the class and is there: after
  // its package is removed, the records that name the class are left over.
  static bool Installed(const GUID& clsid);
  // Unloads only when the library says it may (DllCanUnloadNow); otherwise
  // the code stays mapped, as objects of it may still be alive.
  ~CameraLibrary();
  CameraLibrary(const CameraLibrary&) = delete;
  CameraLibrary& operator=(const CameraLibrary&) = delete;

  HRESULT GetClassObject(const GUID& clsid, const GUID& iid, void** out) const;
  const std::string& path() const { return path_; }

 private:
  CameraLibrary(void* handle, std::string path, DllGetClassObjectFn get_class_object,
                DllCanUnloadNowFn can_unload_now);

  void* handle_;
  std::string path_;
  DllGetClassObjectFn get_class_object_;
  DllCanUnloadNowFn can_unload_now_;  // may be null
};

// Loads the library at `path` and runs its DllRegisterServer (or
// DllUnregisterServer), as an installer would; the library's own result, or a
// failure with the reason in `error` when it cannot be loaded.
HRESULT RunLibraryRegistration(const std::string& path, bool install, std::string& error);

}  // namespace vistrel
