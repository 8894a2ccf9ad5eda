// IUnknown-style objects: reference counting and QueryInterface with interface
// ids, the ComPtr owner and MakeCom, the one place objects are created.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>
#include <utility>

#include "platform/mf/guid.h"
#include "platform/mf/guids.h"
#include "platform/mf/hresult.h"

namespace vistrel {

// Every interface below derives from this one; the slots are in the platform's
// order. Objects start with one reference and delete themselves at zero.
class IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IUnknown;

  virtual HRESULT QueryInterface(REFIID iid, void** out) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;

 protected:
  // Objects are destroyed through Release only.
  virtual ~IUnknown() = default;
};

// Owns one reference. Constructing from a raw pointer adds a reference (as the
// platform's ComPtr does); Attach takes over one that the caller holds.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  ComPtr(T* p) : p_(p) {
    if (p_) p_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.p_) {}
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  template <typename U>
  ComPtr(const ComPtr<U>& other) : ComPtr(static_cast<T*>(other.Get())) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  ~ComPtr() { Reset(); }

  static ComPtr Attach(T* p) {
    ComPtr result;
    result.p_ = p;
    return result;
  }

  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Releases what is held and hands out the slot for an out parameter.
  T** ReleaseAndGetAddressOf() {
    Reset();
    return &p_;
  }
  T** GetAddressOf() { return &p_; }
  // The same slot typed for QueryInterface-style out parameters.
  void** PutVoid() { return reinterpret_cast<void**>(ReleaseAndGetAddressOf()); }

  // Gives the reference to the caller.
  [[nodiscard]] T* Detach() { return std::exchange(p_, nullptr); }
  void Reset() {
    if (T* old = std::exchange(p_, nullptr)) old->Release();
  }
  // A new reference into *out (which may be null-checked by the caller).
  HRESULT CopyTo(T** out) const {
    if (!out) return E_POINTER;
    *out = p_;
    if (p_) p_->AddRef();
    return S_OK;
  }
  template <typename U>
  HRESULT As(ComPtr<U>* out) const {
    if (!p_) return E_POINTER;
    return p_->QueryInterface(U::kIid, out->PutVoid());
  }

 private:
  T* p_ = nullptr;
};

template <typename T, typename U>
bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) {
  return a.Get() == b.Get();
}

// Creates an object with one reference; null when memory runs out, also when
// it runs out inside the object's constructor.
template <typename T, typename... Args>
ComPtr<T> MakeCom(Args&&... args) {
  try {
    return ComPtr<T>::Attach(new (std::nothrow) T(std::forward<Args>(args)...));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

// Runs `body`, which returns an HRESULT, so that no C++ exception leaves a COM
// method or a library export: the caller may be another library that knows
// nothing of ours. Running out of memory becomes E_OUTOFMEMORY, anything else
// E_UNEXPECTED.
template <typename Body>
HRESULT NoThrow(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// The counting half of IUnknown for implementations: AddRef returns
// refs_.AddRef(), Release returns refs_.Release(this).
class RefCount {
 public:
  uint32_t AddRef() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }
  template <typename T>
  uint32_t Release(T* self) {
    const uint32_t left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete self;  // The counterpart of MakeCom.
    return left;
  }

 private:
  std::atomic<uint32_t> count_{1};
};

// QueryInterface helper: hands out `p` (already cast to the interface asked
// for) with a new reference.
inline HRESULT ReturnInterface(IUnknown* p, void** out) {
  p->AddRef();
  *out = p;
  return S_OK;
}

// CoTaskMemAlloc/CoTaskMemFree: the allocator of GetAllocatedString and
// GetAllocatedBlob results.
void* CoTaskMemAlloc(size_t size);
void CoTaskMemFree(void* p);

}  // namespace vistrel
