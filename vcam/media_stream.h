// The one video stream of the virtual camera. RequestSample paces samples to
// one per frame interval on a high-resolution timer and fills each with the
// newest picture of the frame exchange or the waiting picture. Requests run
// one at a time (request lock); the state lock is released during the pacing
// wait so that state changes and shutdown are never held up by a request.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/mf/source.h"
#include "platform/mf/system_time.h"
#include "vcam/module.h"
#include "video/exchange/frame_reader.h"
#include "video/picture.h"

namespace vistrel {

class MediaSource;


class MediaStream final : public IMFMediaStream2, public IKsControl {
 public:
  MediaStream() = default;
  ~MediaStream() override = default;

  HRESULT Initialize(MediaSource* source, IMFStreamDescriptor* descriptor,
                     IMFMediaType* media_type, const std::string& shared_name);
  // By the source: `start_time` is the VT_I8 start time it announces.
  HRESULT Start(const PropVariant& start_time);
  HRESULT Stop();
  HRESULT Shutdown();
  // Replaces the frame server's allocator (or clears it); the next start
  // initialises it.
  HRESULT SetAllocator(IMFVideoSampleAllocator* allocator);
  // The stream's attribute store (a new reference); MF_E_SHUTDOWN after shutdown.
  HRESULT GetAttributes(IMFAttributes** attributes);

  HRESULT QueryInterface(REFIID iid, void** out) override;
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  // IMFMediaEventGenerator.
  HRESULT GetEvent(uint32_t flags, IMFMediaEvent** event) override;
  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override;
  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override;
  HRESULT QueueEvent(MediaEventType type, REFGUID extended_type, HRESULT status,
                     const PROPVARIANT* value) override;
  // IMFMediaStream.
  HRESULT GetMediaSource(IMFMediaSource** source) override;
  HRESULT GetStreamDescriptor(IMFStreamDescriptor** descriptor) override;
  HRESULT RequestSample(IUnknown* token) override;
  // IMFMediaStream2.
  HRESULT SetStreamState(MF_STREAM_STATE value) override;
  HRESULT GetStreamState(MF_STREAM_STATE* value) override;
  // IKsControl.
  HRESULT KsProperty(void* property, uint32_t property_length, void* data, uint32_t data_length,
                     uint32_t* bytes_returned) override;
  HRESULT KsMethod(void* method, uint32_t method_length, void* data, uint32_t data_length,
                   uint32_t* bytes_returned) override;
  HRESULT KsEvent(void* event, uint32_t event_length, void* data, uint32_t data_length,
                  uint32_t* bytes_returned) override;

 private:
  // Both with the state lock held.
  HRESULT StartLocked(const PropVariant* start_time);
  HRESULT StopLocked();
  // RequestSample's work; it may throw when memory runs out.
  HRESULT ProduceSample(IUnknown* token);
  // With both locks held. `from_allocator`: the sample is the frame server's,
  // which the log lines report as the allocator in use.
  HRESULT FillSample(IMFSample* sample, bool from_allocator);

  RefCount refs_;
  ModuleReference module_;
  std::mutex state_mutex_;
  std::mutex request_mutex_;
  // Guarded by state_mutex_.
  ComPtr<MediaSource> source_;
  ComPtr<IMFMediaEventQueue> event_queue_;
  ComPtr<IMFStreamDescriptor> descriptor_;
  ComPtr<IMFMediaType> media_type_;
  ComPtr<IMFAttributes> attributes_;
  ComPtr<IMFVideoSampleAllocator> allocator_;
  MF_STREAM_STATE state_ = MF_STREAM_STATE_STOPPED;
  bool shut_down_ = false;
  bool allocator_ready_ = false;
  int64_t next_due_ = 0;
  // Guarded by request_mutex_ (used by one request at a time).
  int fill_count_ = 0;
  std::optional<WaitableTimer> timer_;  // empty disables pacing waits
  std::unique_ptr<FrameReader> frame_reader_;
};

}  // namespace vistrel
