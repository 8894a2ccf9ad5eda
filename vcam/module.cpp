// The library's exports, its class factory and the object count.
#include "vcam/module.h"

#include <atomic>
#include <mutex>
#include <shared_mutex>

#include "platform/mf/exports.h"
#include "platform/mf/source.h"
#include "vcam/activator.h"

namespace vistrel {
namespace {

std::atomic<uint32_t> g_objects{0};
// Server locks apart from objects: an unmatched LockServer(false) must neither
// take a live object's count nor wrap below zero, or the library would be
// unloaded under an object or never again.
std::atomic<uint32_t> g_locks{0};

void UnlockServer() {
  uint32_t locks = g_locks.load();
  while (locks > 0 && !g_locks.compare_exchange_weak(locks, locks - 1)) {
  }
}

class ClassFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IClassFactory) return ReturnInterface(this, out);
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return NoThrow([&] {
      auto activator = Activator::Create();
      if (!activator) return E_OUTOFMEMORY;
      return activator->QueryInterface(iid, out);
    });
  }
  HRESULT LockServer(bool lock) override {
    if (lock) {
      g_locks.fetch_add(1);
    } else {
      UnlockServer();
    }
    return S_OK;
  }

 private:
  RefCount refs_;
};

// One class factory per process, made on first request.
std::shared_mutex g_factory_lock;
ComPtr<ClassFactory> g_factory;  // guarded by g_factory_lock

ComPtr<ClassFactory> GetFactory() {
  {
    std::shared_lock lock(g_factory_lock);
    if (g_factory) return g_factory;
  }
  std::unique_lock lock(g_factory_lock);
  if (!g_factory) g_factory = MakeCom<ClassFactory>();
  return g_factory;
}

}  // namespace

void ModuleAddRef() { g_objects.fetch_add(1); }
void ModuleRelease() { g_objects.fetch_sub(1); }
uint32_t ModuleObjectCount() {
  return g_objects.load() + g_locks.load();
}

}  // namespace vistrel

using vistrel::CLSID_VistrelVirtualCamera;
using vistrel::ComPtr;

extern "C" VISTREL_EXPORT vistrel::HRESULT DllGetClassObject(const vistrel::GUID& clsid,
                                                             const vistrel::GUID& iid,
                                                             void** out) {
  if (!out) return vistrel::E_POINTER;
  *out = nullptr;
  if (clsid != CLSID_VistrelVirtualCamera) return vistrel::CLASS_E_CLASSNOTAVAILABLE;
  return vistrel::NoThrow([&] {
    auto factory = vistrel::GetFactory();
    if (!factory) return vistrel::E_OUTOFMEMORY;
    return factory->QueryInterface(iid, out);
  });
}

extern "C" VISTREL_EXPORT vistrel::HRESULT DllCanUnloadNow() {
  if (vistrel::ModuleObjectCount() != 0) return vistrel::S_FALSE;
  return vistrel::NoThrow([] {
    ComPtr<vistrel::ClassFactory> released;  // let go after the lock
    std::unique_lock lock(vistrel::g_factory_lock);
    released = std::move(vistrel::g_factory);
    return vistrel::S_OK;
  });
}
