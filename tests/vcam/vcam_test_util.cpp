#include "tests/vcam/vcam_test_util.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "platform/files.h"
#include "platform/shared_memory.h"

namespace {

// The allocation counter of FailingAllocation; -1 when none is armed.
thread_local long t_fail_at = -1;
thread_local long t_allocations = 0;
thread_local bool t_failed = false;

bool AllocationFails() {
  if (t_fail_at < 0 || t_allocations++ != t_fail_at) return false;
  t_failed = true;
  return true;
}

void* Allocate(std::size_t size) {
  if (AllocationFails()) return nullptr;
  return std::malloc(size == 0 ? 1 : size);
}

}  // namespace

// Every form of the ordinary operators, so that all of them pair with free.
void* operator new(std::size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return Allocate(size);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

namespace vistrel::test {

FailingAllocation::FailingAllocation(long nth) {
  t_allocations = 0;
  t_failed = false;
  t_fail_at = nth;
}
FailingAllocation::~FailingAllocation() {
  t_fail_at = -1;
}
bool FailingAllocation::failed() const {
  return t_failed;
}

const CameraLibrary& Library() {
  static const CameraLibrary library = [] {
    CameraLibrary lib;
    lib.handle = dlopen(VCAM_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!lib.handle) {
      ADD_FAILURE() << dlerror();
      std::abort();
    }
    lib.get_class_object =
        reinterpret_cast<DllGetClassObjectFn>(dlsym(lib.handle, kDllGetClassObjectName));
    lib.can_unload_now =
        reinterpret_cast<DllCanUnloadNowFn>(dlsym(lib.handle, kDllCanUnloadNowName));
    lib.register_server =
        reinterpret_cast<DllRegisterServerFn>(dlsym(lib.handle, kDllRegisterServerName));
    lib.unregister_server =
        reinterpret_cast<DllUnregisterServerFn>(dlsym(lib.handle, kDllUnregisterServerName));
    if (!lib.get_class_object || !lib.can_unload_now || !lib.register_server ||
        !lib.unregister_server) {
      std::abort();
    }
    return lib;
  }();
  return library;
}

VcamEnvironment::VcamEnvironment() {
  static std::atomic<int> counter{0};
  std::filesystem::create_directories(folder_ / "state" / "Vistrel");
  std::filesystem::create_directories(folder_ / "registry");
  ::setenv("XDG_STATE_HOME", (folder_ / "state").c_str(), 1);
  ::setenv("VSTL_REGISTRY_ROOT", (folder_ / "registry").c_str(), 1);
  exchange_name_ = "/Vistrel_" + std::to_string(::getuid()) + "_t" + std::to_string(::getpid()) +
                   "x" + std::to_string(counter++);
}

VcamEnvironment::~VcamEnvironment() { SharedMemory::Unlink(exchange_name_); }

std::string VcamEnvironment::LogText() const {
  return ReadFileText(folder_ / "state" / "Vistrel" / "vcam.log").value_or("");
}

ComPtr<IMFActivate> CreateActivator() {
  ComPtr<IClassFactory> factory;
  EXPECT_EQ(Library().get_class_object(CLSID_VistrelVirtualCamera, IID_IClassFactory,
                                       factory.PutVoid()),
            S_OK);
  ComPtr<IMFActivate> activator;
  if (factory) {
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IMFActivate, activator.PutVoid()), S_OK);
  }
  return activator;
}

ComPtr<IMFMediaSourceEx> ActivateSource(IMFActivate* activator, const std::string& name) {
  EXPECT_EQ(activator->SetString(SharedNameAttribute, name.c_str()), S_OK);
  ComPtr<IMFMediaSourceEx> source;
  EXPECT_EQ(activator->ActivateObject(IID_IMFMediaSourceEx, source.PutVoid()), S_OK);
  return source;
}

ComPtr<IMFMediaStream2> StartSource(IMFMediaSourceEx* source) {
  ComPtr<IMFPresentationDescriptor> pd;
  EXPECT_EQ(source->CreatePresentationDescriptor(pd.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(source->Start(pd.Get(), nullptr, nullptr), S_OK);
  ComPtr<IMFMediaStream2> stream;
  ComPtr<IMFMediaEvent> event;
  while (source->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()) == S_OK) {
    MediaEventType type = MEUnknown;
    event->GetType(&type);
    if (type == MENewStream || type == MEUpdatedStream) {
      PropVariant value;
      event->GetValue(&value);
      if (value.punkVal()) value.punkVal()->QueryInterface(IID_IMFMediaStream2, stream.PutVoid());
    }
  }
  return stream;
}

std::vector<MediaEventType> DrainEvents(IMFMediaEventGenerator* generator) {
  std::vector<MediaEventType> types;
  ComPtr<IMFMediaEvent> event;
  while (generator->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()) == S_OK) {
    MediaEventType type = MEUnknown;
    event->GetType(&type);
    types.push_back(type);
  }
  return types;
}

HRESULT RequestOne(IMFMediaStream2* stream, ComPtr<IMFSample>& sample, IUnknown* token) {
  sample.Reset();
  const HRESULT hr = stream->RequestSample(token);
  if (FAILED(hr)) return hr;
  ComPtr<IMFMediaEvent> event;
  while (stream->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()) == S_OK) {
    MediaEventType type = MEUnknown;
    event->GetType(&type);
    if (type != MEMediaSample) continue;
    PropVariant value;
    event->GetValue(&value);
    if (value.punkVal()) value.punkVal()->QueryInterface(IID_IMFSample, sample.PutVoid());
  }
  return sample ? S_OK : E_FAIL;
}

}  // namespace vistrel::test
