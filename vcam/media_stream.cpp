#include "vcam/media_stream.h"

#include "platform/clock.h"
#include "vcam/camera_log.h"
#include "vcam/media_source.h"
#include "video/exchange/letterbox.h"
#include "video/picture.h"
#include "video/sample_pacing.h"

namespace vistrel {
namespace {

constexpr uint32_t kWidth = kPictureWidth;
constexpr uint32_t kHeight = kPictureHeight;
constexpr uint32_t kPictureSize = kWidth * kHeight * 3 / 2;
constexpr uint32_t kAllocatorSamples = 10;
// The longest pacing wait.
constexpr uint32_t kMaxWaitMs = 100;
constexpr HRESULT kSetNotFound = HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);

}  // namespace

HRESULT MediaStream::Initialize(MediaSource* source, IMFStreamDescriptor* descriptor,
                                IMFMediaType* media_type, const std::string& shared_name) {
  if (!source || !descriptor || !media_type) return E_POINTER;
  MutexLock request(request_mutex_);
  MutexLock lock(state_mutex_);
  // Without a timer requests are answered unpaced.
  timer_ = WaitableTimer::Create();
  frame_reader_ = std::make_unique<FrameReader>(
      shared_name, [](const std::string& message) { CameraLog("%s", message.c_str()); });
  source_ = source;
  descriptor_ = descriptor;
  media_type_ = media_type;
  HRESULT hr = MFCreateEventQueue(event_queue_.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = MFCreateAttributes(attributes_.ReleaseAndGetAddressOf(), 4);
  if (SUCCEEDED(hr)) {
    hr = attributes_->SetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, PINNAME_VIDEO_CAPTURE);
  }
  if (SUCCEEDED(hr)) hr = attributes_->SetUINT32(MF_DEVICESTREAM_STREAM_ID, 0);
  if (SUCCEEDED(hr)) hr = attributes_->SetUINT32(MF_DEVICESTREAM_FRAMESERVER_SHARED, 1);
  if (SUCCEEDED(hr)) {
    // 1: colour.
    hr = attributes_->SetUINT32(MF_DEVICESTREAM_ATTRIBUTE_FRAMESOURCE_TYPES, 1);
  }
  return hr;
}

HRESULT MediaStream::GetAttributes(IMFAttributes** attributes) {
  if (!attributes) return E_POINTER;
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  return attributes_.CopyTo(attributes);
}

HRESULT MediaStream::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IMFMediaStream2 || iid == IID_IMFMediaStream ||
      iid == IID_IMFMediaEventGenerator) {
    return ReturnInterface(static_cast<IMFMediaStream2*>(this), out);
  }
  if (iid == IID_IKsControl) return ReturnInterface(static_cast<IKsControl*>(this), out);
  return E_NOINTERFACE;
}

HRESULT MediaStream::GetEvent(uint32_t flags, IMFMediaEvent** event) {
  ComPtr<IMFMediaEventQueue> queue;
  {
    MutexLock lock(state_mutex_);
    if (shut_down_) return MF_E_SHUTDOWN;
    queue = event_queue_;
  }
  if (!queue) return MF_E_NOT_INITIALIZED;
  return queue->GetEvent(flags, event);
}

HRESULT MediaStream::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (!event_queue_) return MF_E_NOT_INITIALIZED;
  return event_queue_->BeginGetEvent(callback, state);
}

HRESULT MediaStream::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (!event_queue_) return MF_E_NOT_INITIALIZED;
  return event_queue_->EndGetEvent(result, event);
}

HRESULT MediaStream::QueueEvent(MediaEventType type, REFGUID extended_type, HRESULT status,
                                const PROPVARIANT* value) {
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (!event_queue_) return MF_E_NOT_INITIALIZED;
  return event_queue_->QueueEventParamVar(type, extended_type, status, value);
}

HRESULT MediaStream::GetMediaSource(IMFMediaSource** source) {
  if (!source) return E_POINTER;
  *source = nullptr;
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (!source_) return MF_E_NOT_INITIALIZED;
  return source_->QueryInterface(IID_IMFMediaSource, reinterpret_cast<void**>(source));
}

HRESULT MediaStream::GetStreamDescriptor(IMFStreamDescriptor** descriptor) {
  if (!descriptor) return E_POINTER;
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  return descriptor_.CopyTo(descriptor);
}

HRESULT MediaStream::Start(const PropVariant& start_time) {
  MutexLock lock(state_mutex_);
  return StartLocked(&start_time);
}

HRESULT MediaStream::Stop() {
  MutexLock lock(state_mutex_);
  return StopLocked();
}

HRESULT MediaStream::StartLocked(const PropVariant* start_time) {
  if (shut_down_) return MF_E_SHUTDOWN;
  if (allocator_ && !allocator_ready_) {
    const HRESULT hr = allocator_->InitializeSampleAllocator(kAllocatorSamples, media_type_.Get());
    if (FAILED(hr)) {
      CameraLog("Stream: InitializeSampleAllocator failed 0x%08X, using memory samples",
                static_cast<unsigned>(hr));
    } else {
      allocator_ready_ = true;
    }
  }
  state_ = MF_STREAM_STATE_RUNNING;
  counts_at_start_ = read_counts_;
  CameraLog("Stream: started");
  return event_queue_->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, start_time);
}

HRESULT MediaStream::StopLocked() {
  if (shut_down_) return MF_E_SHUTDOWN;
  if (allocator_) allocator_->UninitializeSampleAllocator();
  allocator_ready_ = false;
  if (state_ == MF_STREAM_STATE_RUNNING) LogReadCounts();
  state_ = MF_STREAM_STATE_STOPPED;
  CameraLog("Stream: stopped");
  return event_queue_->QueueEventParamVar(MEStreamStopped, GUID_NULL, S_OK, nullptr);
}

void MediaStream::LogReadCounts() {
  const ReadCounts& now = read_counts_;
  const ReadCounts& then = counts_at_start_;
  if (now.reads == then.reads) return;
  CameraLog("Stream: %llu reads, %llu live; the writer was busy in %llu, %llu of them gave up",
            static_cast<unsigned long long>(now.reads - then.reads),
            static_cast<unsigned long long>(now.live - then.live),
            static_cast<unsigned long long>(now.busy - then.busy),
            static_cast<unsigned long long>(now.fallbacks - then.fallbacks));
}

HRESULT MediaStream::SetStreamState(MF_STREAM_STATE value) {
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (value == state_) return S_OK;
  if (value == MF_STREAM_STATE_RUNNING) return StartLocked(nullptr);
  if (value == MF_STREAM_STATE_STOPPED) return StopLocked();
  state_ = value;
  return S_OK;
}

HRESULT MediaStream::GetStreamState(MF_STREAM_STATE* value) {
  if (!value) return E_POINTER;
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  *value = state_;
  return S_OK;
}

HRESULT MediaStream::Shutdown() {
  ComPtr<MediaSource> source;  // released after the lock
  ComPtr<IMFVideoSampleAllocator> allocator;
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  shut_down_ = true;
  if (event_queue_) event_queue_->Shutdown();
  allocator = std::move(allocator_);
  if (allocator) allocator->UninitializeSampleAllocator();
  allocator_ready_ = false;
  source = std::move(source_);
  return S_OK;
}

HRESULT MediaStream::SetAllocator(IMFVideoSampleAllocator* allocator) {
  ComPtr<IMFVideoSampleAllocator> previous;  // released after the lock
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  previous = std::move(allocator_);
  allocator_ = allocator;
  allocator_ready_ = false;
  return S_OK;
}

HRESULT MediaStream::RequestSample(IUnknown* token) {
  // Opening the frame exchange and logging allocate.
  return NoThrow([&] { return ProduceSample(token); });
}

HRESULT MediaStream::ProduceSample(IUnknown* token) {
  MutexLock request(request_mutex_);
  MutexLock lock(state_mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (state_ != MF_STREAM_STATE_RUNNING) return MF_E_MEDIA_SOURCE_WRONGSTATE;

  const int64_t now = MFGetSystemTime();
  const SampleSlot slot = NextSampleSlot(now, next_due_);
  const int64_t due = slot.due;
  next_due_ = slot.next_due;
  lock.unlock();
  if (due > now && timer_) {
    if (timer_->SetRelative(due - now)) timer_->Wait(kMaxWaitMs);
  }
  lock.lock();
  if (shut_down_) return MF_E_SHUTDOWN;
  if (state_ != MF_STREAM_STATE_RUNNING) return MF_E_MEDIA_SOURCE_WRONGSTATE;

  ComPtr<IMFSample> sample;
  HRESULT hr = S_OK;
  bool from_allocator = false;
  if (allocator_ready_) {
    hr = allocator_->AllocateSample(sample.GetAddressOf());
    from_allocator = SUCCEEDED(hr);
    if (FAILED(hr)) {
      CameraLog("Stream: AllocateSample failed 0x%08X, using memory sample",
                static_cast<unsigned>(hr));
      sample.Reset();
    }
  }
  if (!sample) {
    ComPtr<IMFMediaBuffer> buffer;
    hr = MFCreateSample(sample.GetAddressOf());
    if (SUCCEEDED(hr)) {
      hr = MFCreate2DMediaBuffer(kWidth, kHeight, FOURCC_NV12, false, buffer.GetAddressOf());
    }
    if (SUCCEEDED(hr)) hr = sample->AddBuffer(buffer.Get());
    if (FAILED(hr)) return hr;
  }
  hr = FillSample(sample.Get(), from_allocator);
  if (FAILED(hr)) return hr;
  // The time of delivery, not of capture.
  hr = sample->SetSampleTime(MFGetSystemTime());
  if (SUCCEEDED(hr)) hr = sample->SetSampleDuration(kFrameInterval100ns);
  if (SUCCEEDED(hr) && token) hr = sample->SetUnknown(MFSampleExtension_Token, token);
  if (SUCCEEDED(hr)) hr = event_queue_->QueueEventParamUnk(MEMediaSample, GUID_NULL, S_OK, sample.Get());
  return hr;
}

HRESULT MediaStream::FillSample(IMFSample* sample, bool from_allocator) {
  ComPtr<IMFMediaBuffer> buffer;
  HRESULT hr = sample->GetBufferByIndex(0, buffer.GetAddressOf());
  if (FAILED(hr)) return hr;
  const bool log = fill_count_ < 3;
  ++fill_count_;

  ComPtr<IMF2DBuffer2> buffer_2d;
  if (SUCCEEDED(buffer.As(&buffer_2d))) {
    uint8_t* scanline0 = nullptr;
    uint8_t* start = nullptr;
    int32_t pitch = 0;
    uint32_t length = 0;
    hr = buffer_2d->Lock2DSize(MF2DBuffer_LockFlags_Write, &scanline0, &pitch, &start, &length);
    if (FAILED(hr)) return hr;
    bool live = false;
    // A picture of 1080 rows must fit behind the first row; a buffer that
    // claims less would be written past its end.
    const bool fits = pitch > 0 && scanline0 >= start &&
                      static_cast<uint64_t>(scanline0 - start) +
                              static_cast<uint64_t>(pitch) * (kHeight * 3 / 2 - 1) + kWidth <=
                          length;
    if (fits) {
      live = frame_reader_->ReadPicture(scanline0, pitch);
      read_counts_ = frame_reader_->counts();
      if (!live) DrawWaitingPicture(scanline0, pitch, TickMs());
    }
    StampPicture(sample, live);
    const HRESULT unlock = buffer_2d->Unlock2D();
    const HRESULT set_length = buffer->SetCurrentLength(length);
    if (log) {
      CameraLog(
          "Stream: 2D buffer pitch=%ld length=%lu live=%d allocator=%d unlock=0x%08X "
          "setLength=0x%08X",
          static_cast<long>(pitch), static_cast<unsigned long>(length), live ? 1 : 0,
          from_allocator ? 1 : 0, static_cast<unsigned>(unlock), static_cast<unsigned>(set_length));
    }
    return S_OK;
  }

  uint8_t* data = nullptr;
  uint32_t max_length = 0;
  hr = buffer->Lock(&data, &max_length, nullptr);
  if (FAILED(hr)) return hr;
  if (max_length >= kPictureSize) {
    const bool live = frame_reader_->ReadPicture(data, kWidth);
    if (!live) DrawWaitingPicture(data, kWidth, TickMs());
    read_counts_ = frame_reader_->counts();
    StampPicture(sample, live);
  }
  buffer->Unlock();
  if (log) {
    CameraLog("Stream: linear buffer maxLength=%lu allocator=%d",
              static_cast<unsigned long>(max_length), from_allocator ? 1 : 0);
  }
  return buffer->SetCurrentLength(kPictureSize);
}

void MediaStream::StampPicture(IMFSample* sample, bool live) {
  // Pooled samples come back with the previous picture's stamp.
  if (!live) {
    (void)sample->DeleteItem(PictureSequenceAttribute);
    (void)sample->DeleteItem(PicturePublishTimeAttribute);
    return;
  }
  (void)sample->SetUINT64(PictureSequenceAttribute, frame_reader_->picture_sequence());
  (void)sample->SetUINT64(PicturePublishTimeAttribute, frame_reader_->picture_publish_ns());
}

HRESULT MediaStream::KsProperty(void*, uint32_t, void*, uint32_t, uint32_t*) {
  MutexLock lock(state_mutex_);
  return shut_down_ ? MF_E_SHUTDOWN : kSetNotFound;
}

HRESULT MediaStream::KsMethod(void*, uint32_t, void*, uint32_t, uint32_t*) {
  MutexLock lock(state_mutex_);
  return shut_down_ ? MF_E_SHUTDOWN : kSetNotFound;
}

HRESULT MediaStream::KsEvent(void*, uint32_t, void*, uint32_t, uint32_t*) {
  MutexLock lock(state_mutex_);
  return shut_down_ ? MF_E_SHUTDOWN : kSetNotFound;
}

}  // namespace vistrel
