#include "camhost/camera_library.h"

#include <dlfcn.h>

#include <filesystem>

#include <cerrno>
#include <cstring>

#include "platform/registry.h"

namespace vistrel {

CameraLibrary::CameraLibrary(void* handle, std::string path, DllGetClassObjectFn get_class_object,
                             DllCanUnloadNowFn can_unload_now)
    : handle_(handle),
      path_(std::move(path)),
      get_class_object_(get_class_object),
      can_unload_now_(can_unload_now) {}

CameraLibrary::~CameraLibrary() {
  if (can_unload_now_ && can_unload_now_() == S_OK) ::dlclose(handle_);
}

namespace {

std::string ServerKey(const GUID& clsid) {
  return "SOFTWARE\\Classes\\CLSID\\" + FormatGuid(clsid) + "\\InprocServer32";
}

}  // namespace

bool CameraLibrary::Installed(const GUID& clsid) {
  const Result<std::string> registered = GetStringValue(ServerKey(clsid), "", RegistryHive::kMachine);
  std::error_code ec;
  return registered && !registered->empty() && (*registered)[0] == '/' &&
         std::filesystem::is_regular_file(*registered, ec);
}

std::unique_ptr<CameraLibrary> CameraLibrary::Load(const GUID& clsid, std::string& error) {
  const std::string key = ServerKey(clsid);
  const Result<std::string> registered = GetStringValue(key, "", RegistryHive::kMachine);
  if (!registered) {
    error = "the camera source " + FormatGuid(clsid) + " is not registered (" +
            registered.error().text + ")";
    return nullptr;
  }
  const std::string& path = *registered;
  // A bare name would be looked up on the library search path instead.
  if (path.empty() || path[0] != '/') {
    error = "the registration of " + FormatGuid(clsid) + " names no absolute path: \"" + path +
            "\"";
    return nullptr;
  }
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    error = "cannot load " + path + ": " + (why ? why : "unknown error");
    return nullptr;
  }
  auto get_class_object =
      reinterpret_cast<DllGetClassObjectFn>(::dlsym(handle, kDllGetClassObjectName));
  if (!get_class_object) {
    ::dlclose(handle);
    error = path + " is no camera library (no " + kDllGetClassObjectName + ")";
    return nullptr;
  }
  auto can_unload_now =
      reinterpret_cast<DllCanUnloadNowFn>(::dlsym(handle, kDllCanUnloadNowName));
  return std::unique_ptr<CameraLibrary>(
      new CameraLibrary(handle, std::move(path), get_class_object, can_unload_now));
}

HRESULT CameraLibrary::GetClassObject(const GUID& clsid, const GUID& iid, void** out) const {
  if (!out) return E_POINTER;
  *out = nullptr;
  return get_class_object_(clsid, iid, out);
}

HRESULT RunLibraryRegistration(const std::string& given_path, bool install, std::string& error) {
  // The library records where it was loaded from, which must be a full path.
  std::error_code ec;
  const std::string path = std::filesystem::weakly_canonical(given_path, ec).string();
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = ::dlerror();
    error = "cannot load " + path + ": " + (reason ? reason : "unknown error");
    return E_FAIL;
  }
  const char* name = install ? kDllRegisterServerName : kDllUnregisterServerName;
  auto entry = reinterpret_cast<DllRegisterServerFn>(::dlsym(handle, name));
  HRESULT result = E_FAIL;
  if (entry) {
    result = entry();
  } else {
    error = path + " has no " + name;
  }
  ::dlclose(handle);
  return result;
}

}  // namespace vistrel
