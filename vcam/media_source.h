// The live media source of the virtual camera: one NV12 1280x720 stream at
// 30 frames per second. The frame server calls it from any thread; the source
// serialises itself with its lock and never holds it while calling into the
// stream or waiting on the event queue.
#pragma once


#include "platform/mf/source.h"
#include "platform/thread_annotations.h"
#include "vcam/module.h"

namespace vistrel {

class MediaStream;

class MediaSource final : public IMFMediaSourceEx,
                          public IMFGetService,
                          public IKsControl,
                          public IMFSampleAllocatorControl {
 public:
  // Null when out of memory; Initialize must follow.
  static ComPtr<MediaSource> Create();
  MediaSource();
  ~MediaSource() override;

  // Once, by the activator, with its attribute store. The first failing step's
  // HRESULT is returned and the source is then unusable.
  HRESULT Initialize(IMFAttributes* attributes);

  HRESULT QueryInterface(REFIID iid, void** out) override;
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  // IMFMediaEventGenerator.
  HRESULT GetEvent(uint32_t flags, IMFMediaEvent** event) override;
  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  HRESULT QueueEvent(MediaEventType type, REFGUID extended_type, HRESULT status,
                     const PROPVARIANT* value) override;
  // IMFMediaSource.
  HRESULT GetCharacteristics(uint32_t* characteristics) override;
  HRESULT CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) override;
  HRESULT Start(IMFPresentationDescriptor* descriptor, const GUID* time_format,
                const PROPVARIANT* start_position) override;
  HRESULT Stop() override;
  HRESULT Pause() override;
  HRESULT Shutdown() override;
  // IMFMediaSourceEx.
  HRESULT GetSourceAttributes(IMFAttributes** attributes) override;
  HRESULT GetStreamAttributes(uint32_t stream_id, IMFAttributes** attributes) override;
  HRESULT SetD3DManager(IUnknown* manager) override;
  // IMFGetService.
  HRESULT GetService(REFGUID service, REFIID iid, void** out) override;
  // IKsControl.
  HRESULT KsProperty(void* property, uint32_t property_length, void* data, uint32_t data_length,
                     uint32_t* bytes_returned) override;
  HRESULT KsMethod(void* method, uint32_t method_length, void* data, uint32_t data_length,
                   uint32_t* bytes_returned) override;
  HRESULT KsEvent(void* event, uint32_t event_length, void* data, uint32_t data_length,
                  uint32_t* bytes_returned) override;
  // IMFSampleAllocatorControl.
  HRESULT SetDefaultAllocator(uint32_t output_stream_id, IUnknown* allocator) override;
  HRESULT GetAllocatorUsage(uint32_t output_stream_id, uint32_t* input_stream_id,
                            MFSampleAllocatorUsage* usage) override;

 private:
  RefCount refs_;
  ModuleReference module_;
  const bool platform_started_;
  Mutex mutex_;
  ComPtr<IMFMediaEventQueue> event_queue_ GUARDED_BY(mutex_);
  ComPtr<IMFAttributes> attributes_ GUARDED_BY(mutex_);
  ComPtr<IMFPresentationDescriptor> presentation_descriptor_ GUARDED_BY(mutex_);
  ComPtr<MediaStream> stream_ GUARDED_BY(mutex_);
  bool shut_down_ GUARDED_BY(mutex_) = false;
  bool started_before_ GUARDED_BY(mutex_) = false;
};

}  // namespace vistrel
