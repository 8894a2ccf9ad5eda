// DllRegisterServer and DllUnregisterServer: the class key under the machine
// registry hive, naming this library's file as the in-process server.
#include <dlfcn.h>

#include <cerrno>
#include <string>

#include "platform/mf/exports.h"
#include "platform/mf/guids.h"
#include "platform/mf/unknown.h"
#include "platform/registry.h"

namespace vistrel {
namespace {

constexpr char kFriendlyName[] = "Orlith Cam virtual camera";

std::string ClassKey() {
  return "SOFTWARE\\Classes\\CLSID\\" + FormatGuid(CLSID_VistrelVirtualCamera);
}

// The full path of this library: the file that holds this function.
bool ModulePath(std::string& path) {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModulePath), &info) == 0 || !info.dli_fname) return false;
  path = info.dli_fname;
  return !path.empty() && path.front() == '/';
}

HRESULT RegisterServer() {
  std::string path;
  if (!ModulePath(path)) return HRESULT_FROM_WIN32(ENOENT);
  const std::string key = ClassKey();
  const std::string server_key = key + "\\InprocServer32";
  int error = CreateKey(key).code();
  if (error == 0) error = SetStringValue(key, "", kFriendlyName).code();
  if (error == 0) error = CreateKey(server_key).code();
  if (error == 0) error = SetStringValue(server_key, "", path).code();
  if (error == 0) error = SetStringValue(server_key, "ThreadingModel", "Both").code();
  return HRESULT_FROM_WIN32(static_cast<uint32_t>(error));
}

HRESULT UnregisterServer() {
  const int error = DeleteTree(ClassKey()).code();
  // A key that is not there is already unregistered.
  if (error == 0 || error == ENOENT) return S_OK;
  return HRESULT_FROM_WIN32(static_cast<uint32_t>(error));
}

}  // namespace
}  // namespace vistrel

extern "C" VISTREL_EXPORT vistrel::HRESULT DllRegisterServer() {
  return vistrel::NoThrow(vistrel::RegisterServer);
}

extern "C" VISTREL_EXPORT vistrel::HRESULT DllUnregisterServer() {
  return vistrel::NoThrow(vistrel::UnregisterServer);
}
