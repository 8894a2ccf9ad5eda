// Media buffers (linear and 2D) and samples, in system memory.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/mf/attributes.h"

namespace vistrel {

class IMFMediaBuffer : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaBuffer;

  // `max_length` and `current_length` are optional.
  virtual HRESULT Lock(uint8_t** buffer, uint32_t* max_length, uint32_t* current_length) = 0;
  virtual HRESULT Unlock() = 0;
  virtual HRESULT GetCurrentLength(uint32_t* length) = 0;
  // E_INVALIDARG above the maximum length.
  virtual HRESULT SetCurrentLength(uint32_t length) = 0;
  virtual HRESULT GetMaxLength(uint32_t* max_length) = 0;
};

class IMF2DBuffer : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMF2DBuffer;

  virtual HRESULT Lock2D(uint8_t** scanline0, int32_t* pitch) = 0;
  virtual HRESULT Unlock2D() = 0;
  // Only while locked (else MF_E_UNEXPECTED).
  virtual HRESULT GetScanline0AndPitch(uint8_t** scanline0, int32_t* pitch) = 0;
  // True when the pitch equals the row width (no padding).
  virtual HRESULT IsContiguousFormat(bool* contiguous) = 0;
  // The picture without row padding: width × height × 3/2 for NV12.
  virtual HRESULT GetContiguousLength(uint32_t* length) = 0;
  virtual HRESULT ContiguousCopyTo(uint8_t* destination, uint32_t size) = 0;
  virtual HRESULT ContiguousCopyFrom(const uint8_t* source, uint32_t size) = 0;
};

enum MF2DBuffer_LockFlags {
  MF2DBuffer_LockFlags_Read = 1,
  MF2DBuffer_LockFlags_Write = 2,
  MF2DBuffer_LockFlags_ReadWrite = 3,
};

class IMF2DBuffer2 : public IMF2DBuffer {
 public:
  static constexpr const GUID& kIid = IID_IMF2DBuffer2;

  // The first row, the pitch, and the whole buffer (start and length).
  virtual HRESULT Lock2DSize(MF2DBuffer_LockFlags flags, uint8_t** scanline0, int32_t* pitch,
                             uint8_t** buffer_start, uint32_t* buffer_length) = 0;
  virtual HRESULT Copy2DTo(IMF2DBuffer2* destination) = 0;
};

class IMFSample : public IMFAttributes {
 public:
  static constexpr const GUID& kIid = IID_IMFSample;

  virtual HRESULT GetSampleFlags(uint32_t* flags) = 0;
  virtual HRESULT SetSampleFlags(uint32_t flags) = 0;
  // MF_E_NO_SAMPLE_TIMESTAMP / _DURATION until set.
  virtual HRESULT GetSampleTime(int64_t* time) = 0;
  virtual HRESULT SetSampleTime(int64_t time) = 0;
  virtual HRESULT GetSampleDuration(int64_t* duration) = 0;
  virtual HRESULT SetSampleDuration(int64_t duration) = 0;
  virtual HRESULT GetBufferCount(uint32_t* count) = 0;
  virtual HRESULT GetBufferByIndex(uint32_t index, IMFMediaBuffer** buffer) = 0;
  virtual HRESULT AddBuffer(IMFMediaBuffer* buffer) = 0;
  virtual HRESULT RemoveBufferByIndex(uint32_t index) = 0;
  virtual HRESULT RemoveAllBuffers() = 0;
  virtual HRESULT GetTotalLength(uint32_t* length) = 0;
};

constexpr HRESULT MF_E_NO_SAMPLE_TIMESTAMP = MakeHresult(0xC00D36C8);
constexpr HRESULT MF_E_NO_SAMPLE_DURATION = MakeHresult(0xC00D36C9);

HRESULT MFCreateSample(IMFSample** sample);
// A linear buffer of `max_length` bytes, current length 0.
HRESULT MFCreateMemoryBuffer(uint32_t max_length, IMFMediaBuffer** buffer);
// An NV12 picture buffer (`fourcc` must be FOURCC_NV12, width and height even
// and positive); rows are padded to a multiple of 64 bytes. Bottom-up buffers
// are not made (E_INVALIDARG). The result answers IMF2DBuffer and IMF2DBuffer2.
HRESULT MFCreate2DMediaBuffer(uint32_t width, uint32_t height, uint32_t fourcc, bool bottom_up,
                              IMFMediaBuffer** buffer);
// Ours, for tests and hosts that want another row pitch (at least the width).
HRESULT CreateNv12BufferWithPitch(uint32_t width, uint32_t height, uint32_t pitch,
                                  IMFMediaBuffer** buffer);
// Ours: an NV12 buffer over memory that its owner lends (at least pitch ×
// height × 3/2 bytes, kept valid by `keeper` while the buffer lives), so that
// a picture is written straight where it goes.
HRESULT CreateNv12BufferOver(std::span<uint8_t> bytes, std::shared_ptr<void> keeper,
                             uint32_t width, uint32_t height, uint32_t pitch,
                             IMFMediaBuffer** buffer);

}  // namespace vistrel
