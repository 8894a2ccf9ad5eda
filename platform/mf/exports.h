// The four entry points of an in-process server library, as the camera host
// finds them with dlsym. Plain C names; the GUID arguments are references to
// the 16-byte GUID of platform/mf/guid.h.
#pragma once

#include "platform/mf/guid.h"
#include "platform/mf/hresult.h"

#define VISTREL_EXPORT __attribute__((visibility("default")))

extern "C" {

// The class factory of `clsid` queried for `iid` into *out;
// CLASS_E_CLASSNOTAVAILABLE for a class the library does not serve.
VISTREL_EXPORT vistrel::HRESULT DllGetClassObject(const vistrel::GUID& clsid,
                                                  const vistrel::GUID& iid, void** out);
// S_OK when no object of the library lives any more and it may be unloaded;
// S_FALSE otherwise.
VISTREL_EXPORT vistrel::HRESULT DllCanUnloadNow();
// Writes or removes the class registration (platform/registry).
VISTREL_EXPORT vistrel::HRESULT DllRegisterServer();
VISTREL_EXPORT vistrel::HRESULT DllUnregisterServer();

}  // extern "C"

namespace vistrel {

// The types of the four entry points for dlsym.
using DllGetClassObjectFn = HRESULT (*)(const GUID& clsid, const GUID& iid, void** out);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();

constexpr char kDllGetClassObjectName[] = "DllGetClassObject";
constexpr char kDllCanUnloadNowName[] = "DllCanUnloadNow";
constexpr char kDllRegisterServerName[] = "DllRegisterServer";
constexpr char kDllUnregisterServerName[] = "DllUnregisterServer";

}  // namespace vistrel
