#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "platform/mf/sample.h"

namespace vistrel {
namespace {

// The bytes and the length bookkeeping that both buffers share.
template <class... Interfaces>
class BufferBase : public Interfaces... {
 public:
  HRESULT GetCurrentLength(uint32_t* length) override {
    if (!length) return E_POINTER;
    std::lock_guard lock(mutex_);
    *length = current_length_;
    return S_OK;
  }
  HRESULT SetCurrentLength(uint32_t length) override {
    std::lock_guard lock(mutex_);
    if (length > data_.size()) return E_INVALIDARG;
    current_length_ = length;
    return S_OK;
  }
  HRESULT GetMaxLength(uint32_t* max_length) override {
    if (!max_length) return E_POINTER;
    *max_length = static_cast<uint32_t>(data_.size());
    return S_OK;
  }

 protected:
  explicit BufferBase(size_t size) : own_(size), data_(own_.data(), own_.size()) {}
  BufferBase(std::span<uint8_t> lent, std::shared_ptr<void> keeper)
      : keeper_(std::move(keeper)), data_(lent) {}

  std::mutex mutex_;
  std::vector<uint8_t> own_;
  std::shared_ptr<void> keeper_;  // keeps lent bytes valid
  const std::span<uint8_t> data_;
  uint32_t current_length_ = 0;  // guarded by mutex_
};

class MemoryBuffer final : public BufferBase<IMFMediaBuffer> {
 public:
  explicit MemoryBuffer(uint32_t max_length) : BufferBase(max_length) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFMediaBuffer) return ReturnInterface(this, out);
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT Lock(uint8_t** buffer, uint32_t* max_length, uint32_t* current_length) override {
    if (!buffer) return E_POINTER;
    std::lock_guard lock(mutex_);
    ++locks_;
    *buffer = data_.data();
    if (max_length) *max_length = static_cast<uint32_t>(data_.size());
    if (current_length) *current_length = current_length_;
    return S_OK;
  }
  HRESULT Unlock() override {
    std::lock_guard lock(mutex_);
    if (locks_ == 0) return E_UNEXPECTED;
    --locks_;
    return S_OK;
  }

 private:
  RefCount refs_;
  uint32_t locks_ = 0;  // guarded by mutex_
};

// An NV12 picture: `height` luma rows then height/2 chroma rows, each `pitch`
// bytes of which the first `width` are picture.
class Nv12Buffer final : public BufferBase<IMFMediaBuffer, IMF2DBuffer2> {
 public:
  Nv12Buffer(uint32_t width, uint32_t height, uint32_t pitch)
      : BufferBase(size_t{pitch} * height * 3 / 2), width_(width), height_(height), pitch_(pitch) {}
  Nv12Buffer(uint32_t width, uint32_t height, uint32_t pitch, std::span<uint8_t> lent,
             std::shared_ptr<void> keeper)
      : BufferBase(lent, std::move(keeper)), width_(width), height_(height), pitch_(pitch) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFMediaBuffer) {
      return ReturnInterface(static_cast<IMFMediaBuffer*>(this), out);
    }
    if (iid == IID_IMF2DBuffer || iid == IID_IMF2DBuffer2) {
      return ReturnInterface(static_cast<IMF2DBuffer2*>(this), out);
    }
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  // Linear access sees the picture without row padding: a padded buffer is
  // copied out at Lock and back at Unlock, as the platform does.
  HRESULT Lock(uint8_t** buffer, uint32_t* max_length, uint32_t* current_length) override {
    if (!buffer) return E_POINTER;
    return NoThrow([&] {
      std::lock_guard lock(mutex_);
      if (locks_2d_ > 0) return MF_E_UNEXPECTED;
      if (locks_linear_ == 0 && !Contiguous()) {
        linear_copy_.resize(ContiguousSize());
        CopyRows(data_.data(), pitch_, linear_copy_.data(), width_);
      }
      ++locks_linear_;
      *buffer = Contiguous() ? data_.data() : linear_copy_.data();
      if (max_length) *max_length = ContiguousSize();
      if (current_length) *current_length = current_length_;
      return S_OK;
    });
  }
  HRESULT Unlock() override {
    std::lock_guard lock(mutex_);
    if (locks_linear_ == 0) return E_UNEXPECTED;
    if (--locks_linear_ == 0 && !Contiguous()) {
      CopyRows(linear_copy_.data(), width_, data_.data(), pitch_);
      linear_copy_ = {};
    }
    return S_OK;
  }

  HRESULT Lock2D(uint8_t** scanline0, int32_t* pitch) override {
    uint8_t* start = nullptr;
    uint32_t length = 0;
    return Lock2DSize(MF2DBuffer_LockFlags_ReadWrite, scanline0, pitch, &start, &length);
  }
  HRESULT Unlock2D() override {
    std::lock_guard lock(mutex_);
    if (locks_2d_ == 0) return E_UNEXPECTED;
    --locks_2d_;
    return S_OK;
  }
  HRESULT GetScanline0AndPitch(uint8_t** scanline0, int32_t* pitch) override {
    if (!scanline0 || !pitch) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (locks_2d_ == 0) return MF_E_UNEXPECTED;
    *scanline0 = data_.data();
    *pitch = static_cast<int32_t>(pitch_);
    return S_OK;
  }
  HRESULT IsContiguousFormat(bool* contiguous) override {
    if (!contiguous) return E_POINTER;
    *contiguous = Contiguous();
    return S_OK;
  }
  HRESULT GetContiguousLength(uint32_t* length) override {
    if (!length) return E_POINTER;
    *length = ContiguousSize();
    return S_OK;
  }
  HRESULT ContiguousCopyTo(uint8_t* destination, uint32_t size) override {
    if (!destination) return E_POINTER;
    if (size < ContiguousSize()) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    CopyRows(data_.data(), pitch_, destination, width_);
    return S_OK;
  }
  HRESULT ContiguousCopyFrom(const uint8_t* source, uint32_t size) override {
    if (!source) return E_POINTER;
    if (size < ContiguousSize()) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    CopyRows(source, width_, data_.data(), pitch_);
    return S_OK;
  }

  HRESULT Lock2DSize(MF2DBuffer_LockFlags /*flags*/, uint8_t** scanline0, int32_t* pitch,
                     uint8_t** buffer_start, uint32_t* buffer_length) override {
    if (!scanline0 || !pitch || !buffer_start || !buffer_length) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (locks_linear_ > 0) return MF_E_UNEXPECTED;
    ++locks_2d_;
    *scanline0 = data_.data();
    *pitch = static_cast<int32_t>(pitch_);
    *buffer_start = data_.data();
    *buffer_length = static_cast<uint32_t>(data_.size());
    return S_OK;
  }
  HRESULT Copy2DTo(IMF2DBuffer2* destination) override {
    if (!destination) return E_POINTER;
    return NoThrow([&] {
      std::vector<uint8_t> picture(ContiguousSize());
      const HRESULT hr = ContiguousCopyTo(picture.data(), ContiguousSize());
      if (FAILED(hr)) return hr;
      return destination->ContiguousCopyFrom(picture.data(), ContiguousSize());
    });
  }

 private:
  bool Contiguous() const { return pitch_ == width_; }
  uint32_t ContiguousSize() const { return width_ * height_ * 3 / 2; }
  void CopyRows(const uint8_t* from, size_t from_pitch, uint8_t* to, size_t to_pitch) const {
    for (uint32_t row = 0; row < height_ * 3 / 2; ++row) {
      std::memcpy(to + row * to_pitch, from + row * from_pitch, width_);
    }
  }

  RefCount refs_;
  const uint32_t width_;
  const uint32_t height_;
  const uint32_t pitch_;
  std::vector<uint8_t> linear_copy_;  // guarded by mutex_; while linearly locked
  uint32_t locks_linear_ = 0;         // guarded by mutex_
  uint32_t locks_2d_ = 0;             // guarded by mutex_
};

// Larger pictures than this are refused; it keeps sizes within 32 bits.
constexpr uint32_t kMaxDimension = 16384;

}  // namespace

HRESULT MFCreateMemoryBuffer(uint32_t max_length, IMFMediaBuffer** buffer) {
  if (!buffer) return E_POINTER;
  ComPtr<MemoryBuffer> created;
  try {
    created = MakeCom<MemoryBuffer>(max_length);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (!created) return E_OUTOFMEMORY;
  *buffer = created.Detach();
  return S_OK;
}

HRESULT CreateNv12BufferWithPitch(uint32_t width, uint32_t height, uint32_t pitch,
                                  IMFMediaBuffer** buffer) {
  if (!buffer) return E_POINTER;
  *buffer = nullptr;
  if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0 || width > kMaxDimension ||
      height > kMaxDimension || pitch < width || pitch > 2 * kMaxDimension) {
    return E_INVALIDARG;
  }
  ComPtr<Nv12Buffer> created;
  try {
    created = MakeCom<Nv12Buffer>(width, height, pitch);
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (!created) return E_OUTOFMEMORY;
  *buffer = static_cast<IMFMediaBuffer*>(created.Detach());
  return S_OK;
}

HRESULT CreateNv12BufferOver(std::span<uint8_t> bytes, std::shared_ptr<void> keeper,
                             uint32_t width, uint32_t height, uint32_t pitch,
                             IMFMediaBuffer** buffer) {
  if (!buffer) return E_POINTER;
  *buffer = nullptr;
  if (width == 0 || height == 0 || width % 2 != 0 || height % 2 != 0 || width > kMaxDimension ||
      height > kMaxDimension || pitch < width || pitch > 2 * kMaxDimension || !bytes.data() ||
      bytes.size() < size_t{pitch} * height * 3 / 2 || bytes.size() > UINT32_MAX) {
    return E_INVALIDARG;
  }
  ComPtr<Nv12Buffer> created;
  try {
    created = MakeCom<Nv12Buffer>(width, height, pitch, bytes, std::move(keeper));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  if (!created) return E_OUTOFMEMORY;
  *buffer = static_cast<IMFMediaBuffer*>(created.Detach());
  return S_OK;
}

HRESULT MFCreate2DMediaBuffer(uint32_t width, uint32_t height, uint32_t fourcc, bool bottom_up,
                              IMFMediaBuffer** buffer) {
  if (!buffer) return E_POINTER;
  *buffer = nullptr;
  if (fourcc != FOURCC_NV12 || bottom_up) return E_INVALIDARG;
  const uint32_t pitch = (width + 63) / 64 * 64;
  return CreateNv12BufferWithPitch(width, height, pitch, buffer);
}

}  // namespace vistrel
