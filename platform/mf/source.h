// The interfaces of a media source and its stream as the frame server sees
// them, and the activation object and class factory of an in-process server.
// Only abstract here: the camera library implements them.
#pragma once

#include <cstdint>

#include "platform/mf/allocator.h"
#include "platform/mf/attributes.h"
#include "platform/mf/descriptors.h"
#include "platform/mf/events.h"
#include "platform/mf/sample.h"

namespace vistrel {

constexpr uint32_t MFMEDIASOURCE_IS_LIVE = 0x1;

class IMFMediaSource : public IMFMediaEventGenerator {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaSource;

  virtual HRESULT GetCharacteristics(uint32_t* characteristics) = 0;
  virtual HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) = 0;
  // `time_format` and `start_position` may be null.
  virtual HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID* time_format,
                        const PROPVARIANT* start_position) = 0;
  virtual HRESULT Stop() = 0;
  virtual HRESULT Pause() = 0;
  virtual HRESULT Shutdown() = 0;
};

class IMFMediaSourceEx : public IMFMediaSource {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaSourceEx;

  virtual HRESULT GetSourceAttributes(IMFAttributes** attributes) = 0;
  virtual HRESULT GetStreamAttributes(uint32_t stream_id, IMFAttributes** attributes) = 0;
  virtual HRESULT SetD3DManager(IUnknown* manager) = 0;
};

class IMFMediaStream : public IMFMediaEventGenerator {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaStream;

  virtual HRESULT GetMediaSource(IMFMediaSource** source) = 0;
  virtual HRESULT GetStreamDescriptor(IMFStreamDescriptor** descriptor) = 0;
  // The sample comes back as an MEMediaSample event; `token` (may be null) is
  // attached to it as MFSampleExtension_Token.
  virtual HRESULT RequestSample(IUnknown* token) = 0;
};

enum MF_STREAM_STATE {
  MF_STREAM_STATE_STOPPED = 0,
  MF_STREAM_STATE_PAUSED = 1,
  MF_STREAM_STATE_RUNNING = 2,
};

class IMFMediaStream2 : public IMFMediaStream {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaStream2;

  virtual HRESULT SetStreamState(MF_STREAM_STATE value) = 0;
  virtual HRESULT GetStreamState(MF_STREAM_STATE* value) = 0;
};

class IMFGetService : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFGetService;

  virtual HRESULT GetService(REFGUID service, REFIID iid, void** out) = 0;
};

// Kernel-streaming property, method and event requests; the structures are
// opaque here.
class IKsControl : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IKsControl;

  virtual HRESULT KsProperty(void* property, uint32_t property_length, void* data,
                             uint32_t data_length, uint32_t* bytes_returned) = 0;
  virtual HRESULT KsMethod(void* method, uint32_t method_length, void* data, uint32_t data_length,
                           uint32_t* bytes_returned) = 0;
  virtual HRESULT KsEvent(void* event, uint32_t event_length, void* data, uint32_t data_length,
                          uint32_t* bytes_returned) = 0;
};

enum MFSampleAllocatorUsage {
  MFSampleAllocatorUsage_UsesProvidedAllocator = 0,
  MFSampleAllocatorUsage_UsesCustomAllocator = 1,
  MFSampleAllocatorUsage_DoesNotAllocate = 2,
};

class IMFSampleAllocatorControl : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFSampleAllocatorControl;

  virtual HRESULT SetDefaultAllocator(uint32_t output_stream_id, IUnknown* allocator) = 0;
  virtual HRESULT GetAllocatorUsage(uint32_t output_stream_id, uint32_t* input_stream_id,
                                    MFSampleAllocatorUsage* usage) = 0;
};

class IMFActivate : public IMFAttributes {
 public:
  static constexpr const GUID& kIid = IID_IMFActivate;

  virtual HRESULT ActivateObject(REFIID iid, void** out) = 0;
  virtual HRESULT ShutdownObject() = 0;
  virtual HRESULT DetachObject() = 0;
};

class IClassFactory : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IClassFactory;

  virtual HRESULT CreateInstance(IUnknown* outer, REFIID iid, void** out) = 0;
  virtual HRESULT LockServer(bool lock) = 0;
};

}  // namespace vistrel
