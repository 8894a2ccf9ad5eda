// The one video stream of the virtual camera. RequestSample paces samples to
// one per frame interval on a high-resolution timer and fills each with the
// newest picture of the frame exchange or the waiting picture. Requests run
// one at a time (request lock); the state lock is released during the pacing
// wait so that state changes and shutdown are never held up by a request.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/mf/source.h"
#include "platform/thread_annotations.h"
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
  HRESULT StartLocked(const PropVariant* start_time) REQUIRES(state_mutex_);
  HRESULT StopLocked() REQUIRES(state_mutex_);
  // One line with what the reads of this run met; nothing without reads.
  void LogReadCounts() REQUIRES(state_mutex_);
  // RequestSample's work; it may throw when memory runs out.
  HRESULT ProduceSample(IUnknown* token);
  // With both locks held. `from_allocator`: the sample is the frame server's,
  // which the log lines report as the allocator in use.
  HRESULT FillSample(IMFSample* sample, bool from_allocator)
      REQUIRES(request_mutex_, state_mutex_);
  // Tells the host which exchange picture the sample shows, if any.
  void StampPicture(IMFSample* sample, bool live) REQUIRES(request_mutex_);

  RefCount refs_;
  ModuleReference module_;
  // Requests run one at a time under request_mutex_, taken before state_mutex_.
  Mutex request_mutex_ ACQUIRED_BEFORE(state_mutex_);
  Mutex state_mutex_;
  ComPtr<MediaSource> source_ GUARDED_BY(state_mutex_);
  ComPtr<IMFMediaEventQueue> event_queue_ GUARDED_BY(state_mutex_);
  ComPtr<IMFStreamDescriptor> descriptor_ GUARDED_BY(state_mutex_);
  ComPtr<IMFMediaType> media_type_ GUARDED_BY(state_mutex_);
  ComPtr<IMFAttributes> attributes_ GUARDED_BY(state_mutex_);
  ComPtr<IMFVideoSampleAllocator> allocator_ GUARDED_BY(state_mutex_);
  MF_STREAM_STATE state_ GUARDED_BY(state_mutex_) = MF_STREAM_STATE_STOPPED;
  bool shut_down_ GUARDED_BY(state_mutex_) = false;
  bool allocator_ready_ GUARDED_BY(state_mutex_) = false;
  int64_t next_due_ GUARDED_BY(state_mutex_) = 0;
  // The reader's counts after the latest sample and when the stream started;
  // a stop logs what this run's samples met.
  ReadCounts read_counts_ GUARDED_BY(state_mutex_);
  ReadCounts counts_at_start_ GUARDED_BY(state_mutex_);
  int fill_count_ GUARDED_BY(request_mutex_) = 0;
  // Empty disables pacing waits.
  std::optional<WaitableTimer> timer_ GUARDED_BY(request_mutex_);
  std::unique_ptr<FrameReader> frame_reader_ GUARDED_BY(request_mutex_);
};

}  // namespace vistrel
