#include "vcam/media_source.h"

#include <memory>

#include "vcam/camera_log.h"
#include "vcam/media_stream.h"
#include "video/exchange/frame_exchange.h"
#include "video/picture.h"

namespace vistrel {
namespace {

constexpr uint32_t kWidth = kPictureWidth;
constexpr uint32_t kHeight = kPictureHeight;
constexpr uint32_t kSampleSize = kWidth * kHeight * 3 / 2;

// The one format offered, every attribute set in this order.
HRESULT CreateNv12Type(ComPtr<IMFMediaType>& type) {
  HRESULT hr = MFCreateMediaType(type.ReleaseAndGetAddressOf());
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  if (SUCCEEDED(hr)) hr = type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  if (SUCCEEDED(hr)) hr = MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, kWidth, kHeight);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(type.Get(), MF_MT_FRAME_RATE, 30, 1);
  if (SUCCEEDED(hr)) hr = MFSetAttributeRatio(type.Get(), MF_MT_PIXEL_ASPECT_RATIO, 1, 1);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_ALL_SAMPLES_INDEPENDENT, 1);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_FIXED_SIZE_SAMPLES, 1);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_DEFAULT_STRIDE, kWidth);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_SAMPLE_SIZE, kSampleSize);
  if (SUCCEEDED(hr)) hr = type->SetUINT32(MF_MT_AVG_BITRATE, kSampleSize * 8 * 30);
  return hr;
}

constexpr HRESULT kSetNotFound = HRESULT_FROM_WIN32(ERROR_SET_NOT_FOUND);

}  // namespace

ComPtr<MediaSource> MediaSource::Create() { return MakeCom<MediaSource>(); }

MediaSource::MediaSource() : platform_started_(SUCCEEDED(MFStartup(MF_VERSION, MFSTARTUP_LITE))) {}

MediaSource::~MediaSource() {
  if (platform_started_) MFShutdown();
}

HRESULT MediaSource::Initialize(IMFAttributes* attributes) {
  if (!attributes) return E_POINTER;
  MutexLock lock(mutex_);
  HRESULT hr = MFCreateAttributes(attributes_.ReleaseAndGetAddressOf(), 4);
  if (SUCCEEDED(hr)) hr = attributes->CopyAllItems(attributes_.Get());
  if (FAILED(hr)) return hr;

  hr = MFCreateEventQueue(event_queue_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;

  ComPtr<IMFMediaType> media_type;
  hr = CreateNv12Type(media_type);
  if (FAILED(hr)) return hr;

  ComPtr<IMFStreamDescriptor> descriptor;
  IMFMediaType* types[] = {media_type.Get()};
  hr = MFCreateStreamDescriptor(0, 1, types, descriptor.GetAddressOf());
  ComPtr<IMFMediaTypeHandler> handler;
  if (SUCCEEDED(hr)) hr = descriptor->GetMediaTypeHandler(handler.GetAddressOf());
  if (SUCCEEDED(hr)) hr = handler->SetCurrentMediaType(media_type.Get());
  if (FAILED(hr)) return hr;

  // Missing means an empty name; a value of another type is a failure.
  std::string shared_name;
  char* name = nullptr;
  uint32_t length = 0;
  hr = attributes_->GetAllocatedString(SharedNameAttribute, &name, &length);
  if (SUCCEEDED(hr)) {
    // Freed also when the copy runs out of memory.
    const std::unique_ptr<char, void (*)(void*)> owned(name, CoTaskMemFree);
    shared_name.assign(name, length);
  } else if (hr != MF_E_ATTRIBUTENOTFOUND) {
    return hr;
  }
  uint32_t count = 0;
  attributes_->GetCount(&count);
  CameraLog("Source: %u attributes, shared name %s", count,
            shared_name.empty() ? "(missing)" : shared_name.c_str());

  auto stream = MakeCom<MediaStream>();
  if (!stream) return E_OUTOFMEMORY;
  hr = stream->Initialize(this, descriptor.Get(), media_type.Get(), shared_name);
  ComPtr<IMFAttributes> stream_attributes;
  if (SUCCEEDED(hr)) hr = stream->GetAttributes(stream_attributes.GetAddressOf());
  if (SUCCEEDED(hr)) {
    // Copied item by item: CopyAllItems would first empty the descriptor.
    uint32_t items = 0;
    hr = stream_attributes->GetCount(&items);
    for (uint32_t i = 0; SUCCEEDED(hr) && i < items; ++i) {
      GUID key{};
      PropVariant value;
      hr = stream_attributes->GetItemByIndex(i, &key, &value);
      if (SUCCEEDED(hr)) hr = descriptor->SetItem(key, value);
    }
  }
  IMFStreamDescriptor* descriptors[] = {descriptor.Get()};
  if (SUCCEEDED(hr)) {
    hr = MFCreatePresentationDescriptor(1, descriptors,
                                        presentation_descriptor_.ReleaseAndGetAddressOf());
  }
  if (SUCCEEDED(hr)) hr = presentation_descriptor_->SelectStream(0);
  if (FAILED(hr)) {
    // The stream holds this source; break the cycle before giving up.
    stream->Shutdown();
    return hr;
  }
  stream_ = std::move(stream);
  CameraLog("Source: initialized");
  return S_OK;
}

HRESULT MediaSource::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IUnknown || iid == IID_IMFMediaSourceEx || iid == IID_IMFMediaSource ||
      iid == IID_IMFMediaEventGenerator) {
    return ReturnInterface(static_cast<IMFMediaSourceEx*>(this), out);
  }
  if (iid == IID_IMFGetService) return ReturnInterface(static_cast<IMFGetService*>(this), out);
  if (iid == IID_IKsControl) return ReturnInterface(static_cast<IKsControl*>(this), out);
  if (iid == IID_IMFSampleAllocatorControl) {
    return ReturnInterface(static_cast<IMFSampleAllocatorControl*>(this), out);
  }
  return E_NOINTERFACE;
}

HRESULT MediaSource::GetEvent(uint32_t flags, IMFMediaEvent** event) {
  ComPtr<IMFMediaEventQueue> queue;
  {
    MutexLock lock(mutex_);
    if (shut_down_) return MF_E_SHUTDOWN;
    queue = event_queue_;
  }
  if (!queue) return MF_E_NOT_INITIALIZED;
  return queue->GetEvent(flags, event);
}

HRESULT MediaSource::BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) {
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (!event_queue_) return MF_E_NOT_INITIALIZED;
  return event_queue_->BeginGetEvent(callback, state);
}

HRESULT MediaSource::EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) {
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (!event_queue_) return MF_E_NOT_INITIALIZED;
  return event_queue_->EndGetEvent(result, event);
}

HRESULT MediaSource::QueueEvent(MediaEventType type, REFGUID extended_type, HRESULT status,
                                const PROPVARIANT* value) {
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (!event_queue_) return MF_E_NOT_INITIALIZED;
  return event_queue_->QueueEventParamVar(type, extended_type, status, value);
}

HRESULT MediaSource::GetCharacteristics(uint32_t* characteristics) {
  if (!characteristics) return E_POINTER;
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  *characteristics = MFMEDIASOURCE_IS_LIVE;
  return S_OK;
}

HRESULT MediaSource::CreatePresentationDescriptor(IMFPresentationDescriptor** descriptor) {
  if (!descriptor) return E_POINTER;
  *descriptor = nullptr;
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (!presentation_descriptor_) return MF_E_NOT_INITIALIZED;
  return presentation_descriptor_->Clone(descriptor);
}

HRESULT MediaSource::Start(IMFPresentationDescriptor* descriptor, const GUID* time_format,
                           const PROPVARIANT* start_position) {
  if (!descriptor) return E_POINTER;
  if (time_format && *time_format != GUID_NULL) return MF_E_UNSUPPORTED_TIME_FORMAT;
  const PropVariant start_time = start_position && start_position->vt() == VT_I8
                                     ? *start_position
                                     : PropVariant::FromInt64(MFGetSystemTime());
  ComPtr<MediaStream> stream;
  bool selected = false;
  {
    MutexLock lock(mutex_);
    if (shut_down_) return MF_E_SHUTDOWN;
    if (!stream_) return MF_E_NOT_INITIALIZED;
    ComPtr<IMFStreamDescriptor> stream_descriptor;
    HRESULT hr = descriptor->GetStreamDescriptorByIndex(0, &selected,
                                                        stream_descriptor.GetAddressOf());
    if (FAILED(hr)) return hr;
    uint32_t stream_id = 0;
    hr = stream_descriptor->GetStreamIdentifier(&stream_id);
    if (FAILED(hr)) return hr;
    if (stream_id != 0) return MF_E_INVALIDREQUEST;
    if (selected) {
      hr = event_queue_->QueueEventParamUnk(started_before_ ? MEUpdatedStream : MENewStream,
                                            GUID_NULL, S_OK,
                                            static_cast<IMFMediaStream*>(stream_.Get()));
      if (FAILED(hr)) return hr;
    }
    started_before_ = true;
    stream = stream_;
  }
  if (selected) {
    const HRESULT hr = stream->Start(start_time);
    if (FAILED(hr)) return hr;
  }
  MutexLock lock(mutex_);
  if (!shut_down_) {
    CameraLog("Source: started");
    event_queue_->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, &start_time);
  }
  return S_OK;
}

HRESULT MediaSource::Stop() {
  ComPtr<MediaStream> stream;
  {
    MutexLock lock(mutex_);
    if (shut_down_) return MF_E_SHUTDOWN;
    stream = stream_;
  }
  if (stream) {
    const HRESULT hr = stream->Stop();
    if (FAILED(hr)) return hr;
  }
  MutexLock lock(mutex_);
  if (!shut_down_) {
    CameraLog("Source: stopped");
    event_queue_->QueueEventParamVar(MESourceStopped, GUID_NULL, S_OK, nullptr);
  }
  return S_OK;
}

HRESULT MediaSource::Pause() { return MF_E_INVALID_STATE_TRANSITION; }

HRESULT MediaSource::Shutdown() {
  ComPtr<MediaStream> stream;
  {
    MutexLock lock(mutex_);
    if (shut_down_) return MF_E_SHUTDOWN;
    shut_down_ = true;
    if (event_queue_) event_queue_->Shutdown();
    stream = std::move(stream_);
  }
  if (stream) stream->Shutdown();
  CameraLog("Source: shut down");
  return S_OK;
}

HRESULT MediaSource::GetSourceAttributes(IMFAttributes** attributes) {
  if (!attributes) return E_POINTER;
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  return attributes_.CopyTo(attributes);
}

HRESULT MediaSource::GetStreamAttributes(uint32_t stream_id, IMFAttributes** attributes) {
  if (!attributes) return E_POINTER;
  ComPtr<MediaStream> stream;
  {
    MutexLock lock(mutex_);
    if (shut_down_) return MF_E_SHUTDOWN;
    if (stream_id != 0) return E_INVALIDARG;
    stream = stream_;
  }
  if (!stream) return MF_E_NOT_INITIALIZED;
  return stream->GetAttributes(attributes);
}

HRESULT MediaSource::SetD3DManager(IUnknown* /*manager*/) {
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  // Only system-memory buffers are produced.
  return S_OK;
}

HRESULT MediaSource::GetService(REFGUID /*service*/, REFIID /*iid*/, void** out) {
  if (out) *out = nullptr;
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  return MF_E_UNSUPPORTED_SERVICE;
}

HRESULT MediaSource::KsProperty(void*, uint32_t, void*, uint32_t, uint32_t*) {
  MutexLock lock(mutex_);
  return shut_down_ ? MF_E_SHUTDOWN : kSetNotFound;
}

HRESULT MediaSource::KsMethod(void*, uint32_t, void*, uint32_t, uint32_t*) {
  MutexLock lock(mutex_);
  return shut_down_ ? MF_E_SHUTDOWN : kSetNotFound;
}

HRESULT MediaSource::KsEvent(void*, uint32_t, void*, uint32_t, uint32_t*) {
  MutexLock lock(mutex_);
  return shut_down_ ? MF_E_SHUTDOWN : kSetNotFound;
}

HRESULT MediaSource::SetDefaultAllocator(uint32_t output_stream_id, IUnknown* allocator) {
  if (output_stream_id != 0) return E_INVALIDARG;
  ComPtr<IMFVideoSampleAllocator> video_allocator;
  if (allocator) {
    const HRESULT hr =
        allocator->QueryInterface(IID_IMFVideoSampleAllocator, video_allocator.PutVoid());
    if (FAILED(hr)) return hr;
  }
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (!stream_) return MF_E_NOT_INITIALIZED;
  // The stream's state lock is never taken with this lock held elsewhere, and
  // the stream never calls back into the source under its own lock.
  const HRESULT hr = stream_->SetAllocator(video_allocator.Get());
  if (FAILED(hr)) return hr;
  CameraLog("Source: default allocator %s", video_allocator ? "set" : "cleared");
  return S_OK;
}

HRESULT MediaSource::GetAllocatorUsage(uint32_t output_stream_id, uint32_t* input_stream_id,
                                       MFSampleAllocatorUsage* usage) {
  if (!input_stream_id || !usage) return E_POINTER;
  MutexLock lock(mutex_);
  if (shut_down_) return MF_E_SHUTDOWN;
  if (output_stream_id != 0) return E_INVALIDARG;
  *input_stream_id = 0;
  *usage = MFSampleAllocatorUsage_UsesProvidedAllocator;
  return S_OK;
}

}  // namespace vistrel
