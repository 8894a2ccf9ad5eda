#include "camhost/camera_source.h"

#include <chrono>
#include <thread>

#include "platform/clock.h"
#include "platform/log.h"

namespace vistrel {
namespace {

using namespace std::chrono_literals;

constexpr uint32_t kFailedRequestsAllowed = 30;
// How long a requested sample may take before the request counts as lost;
// the stream itself waits at most 100 ms for its pacing.
constexpr uint64_t kSampleWaitMs = 1000;

uint32_t Hex(HRESULT hr) {
  return static_cast<uint32_t>(hr);
}

// The frame server's allocator, except that a sample is made over the place
// the sink offers for the next picture when it has one: the library then
// writes the picture where it goes and the sink copies nothing.
class SinkAllocator final : public VideoSampleAllocatorBase<SinkAllocator> {
 public:
  SinkAllocator(Sink& sink, ComPtr<IMFVideoSampleAllocator> pool)
      : sink_(sink), pool_(std::move(pool)) {}

  HRESULT SetDirectXManager(IUnknown* manager) override {
    return pool_->SetDirectXManager(manager);
  }
  HRESULT UninitializeSampleAllocator() override {
    ready_ = false;
    return pool_->UninitializeSampleAllocator();
  }
  HRESULT InitializeSampleAllocator(uint32_t requested_frames, IMFMediaType* media_type) override {
    const HRESULT hr = pool_->InitializeSampleAllocator(requested_frames, media_type);
    ready_ = SUCCEEDED(hr);
    return hr;
  }
  HRESULT AllocateSample(IMFSample** sample) override {
    if (!sample) return E_POINTER;
    *sample = nullptr;
    if (!ready_) return MF_E_NOT_INITIALIZED;
    if (std::optional<Sink::Place> place = sink_.Borrow()) {
      ComPtr<IMFSample> made;
      ComPtr<IMFMediaBuffer> buffer;
      HRESULT hr = MFCreateSample(made.GetAddressOf());
      if (SUCCEEDED(hr)) {
        hr = CreateNv12BufferOver(place->bytes, std::move(place->keeper), kSinkWidth, kSinkHeight,
                                  static_cast<uint32_t>(place->pitch), buffer.GetAddressOf());
      }
      if (SUCCEEDED(hr)) hr = made->AddBuffer(buffer.Get());
      if (SUCCEEDED(hr)) {
        *sample = made.Detach();
        return S_OK;
      }
    }
    return pool_->AllocateSample(sample);
  }

 private:
  Sink& sink_;
  ComPtr<IMFVideoSampleAllocator> pool_;
  // Set when the stream starts, read by its requests, which may run on
  // another thread.
  std::atomic<bool> ready_{false};
};

}  // namespace

CameraSource::CameraSource(std::unique_ptr<CameraLibrary> library, Sink& sink,
                           const std::atomic<bool>& stop)
    : library_(std::move(library)), sink_(sink), stop_(stop) {}

std::unique_ptr<CameraSource> CameraSource::Open(const CameraRecord& record, Sink& sink,
                                                 const std::atomic<bool>& stop) {
  auto clsid = ParseGuid(record.source_id);
  if (!clsid) {
    LogLine("[camhost] the record's source %s is no class id\n", record.source_id.c_str());
    return nullptr;
  }
  std::string error;
  auto library = CameraLibrary::Load(*clsid, error);
  if (!library) {
    LogLine("[camhost] %s\n", error.c_str());
    return nullptr;
  }
  LogLine("[camhost] loaded %s for \"%s\"\n", library->path().c_str(),
          record.friendly_name.c_str());
  std::unique_ptr<CameraSource> source(new CameraSource(std::move(library), sink, stop));
  if (!source->Activate(record)) return nullptr;
  return source;
}

bool CameraSource::Activate(const CameraRecord& record) {
  const GUID clsid = *ParseGuid(record.source_id);
  ComPtr<IClassFactory> factory;
  HRESULT hr = library_->GetClassObject(clsid, IID_IClassFactory, factory.PutVoid());
  if (FAILED(hr) || !factory) {
    LogLine("[camhost] DllGetClassObject failed 0x%08X\n", Hex(hr));
    return false;
  }
  hr = factory->CreateInstance(nullptr, IID_IMFActivate, activate_.PutVoid());
  if (FAILED(hr) || !activate_) {
    LogLine("[camhost] CreateInstance failed 0x%08X\n", Hex(hr));
    return false;
  }
  for (const auto& [name, value] : record.attributes) {
    auto key = ParseGuid(name);
    if (!key) continue;
    if (hr = activate_->SetString(*key, value.c_str()); FAILED(hr)) {
      LogLine("[camhost] SetString(%s) failed 0x%08X\n", name.c_str(), Hex(hr));
      return false;
    }
  }
  hr = activate_->ActivateObject(IID_IMFMediaSource, source_.PutVoid());
  if (FAILED(hr) || !source_) {
    LogLine("[camhost] ActivateObject failed 0x%08X\n", Hex(hr));
    return false;
  }

  // Offer our allocator, as the frame server does; a source that refuses it
  // makes its own samples.
  ComPtr<IMFSampleAllocatorControl> control;
  if (SUCCEEDED(source_.As(&control)) && control) {
    ComPtr<IMFVideoSampleAllocator> pool;
    hr = MFCreateVideoSampleAllocator(IID_IMFVideoSampleAllocator, pool.PutVoid());
    if (SUCCEEDED(hr)) {
      allocator_ = MakeCom<SinkAllocator>(sink_, std::move(pool));
      hr = allocator_ ? S_OK : E_OUTOFMEMORY;
    }
    if (SUCCEEDED(hr)) hr = control->SetDefaultAllocator(0, allocator_.Get());
    if (FAILED(hr)) LogLine("[camhost] the source took no allocator (0x%08X)\n", Hex(hr));
  }

  ComPtr<IMFPresentationDescriptor> presentation;
  hr = source_->CreatePresentationDescriptor(presentation.ReleaseAndGetAddressOf());
  if (FAILED(hr) || !presentation) {
    LogLine("[camhost] CreatePresentationDescriptor failed 0x%08X\n", Hex(hr));
    return false;
  }
  const PropVariant start_now;  // empty: start at the present
  hr = source_->Start(presentation.Get(), &GUID_NULL, &start_now);
  if (FAILED(hr)) {
    LogLine("[camhost] Start failed 0x%08X\n", Hex(hr));
    return false;
  }
  // The source announces its stream and its start through events; they may
  // come from another thread of the source, so give them a moment.
  const uint64_t deadline = TickMs() + kSampleWaitMs;
  while (!(stream_ && stream_started_ && source_started_) && TickMs() < deadline && !stop_) {
    DrainEvents();
    if (!(stream_ && stream_started_ && source_started_)) std::this_thread::sleep_for(2ms);
  }
  if (!stream_ || !stream_started_) {
    LogLine("[camhost] the source started no stream\n");
    return false;
  }
  LogLine("[camhost] camera \"%s\" started\n", record.friendly_name.c_str());
  return true;
}

CameraSource::~CameraSource() {
  pending_sample_.Reset();
  if (source_) (void)source_->Stop();
  stream_.Reset();
  source_.Reset();
  // ShutdownObject shuts the source down; without an activator, nothing was made.
  if (activate_) (void)activate_->ShutdownObject();
  activate_.Reset();
  allocator_.Reset();
}

void CameraSource::HandleEvent(IMFMediaEvent* event, bool from_stream) {
  MediaEventType type = MEUnknown;
  HRESULT status = S_OK;
  PropVariant value;
  (void)event->GetType(&type);
  (void)event->GetStatus(&status);
  (void)event->GetValue(&value);
  if (FAILED(status)) {
    LogLine("[camhost] event %u carries 0x%08X\n", type, Hex(status));
    return;
  }
  IUnknown* object = value.vt() == VT_UNKNOWN ? value.punkVal() : nullptr;
  switch (type) {
    case MENewStream:
    case MEUpdatedStream:
      if (!from_stream && object) {
        ComPtr<IMFMediaStream> stream;
        if (SUCCEEDED(object->QueryInterface(IID_IMFMediaStream, stream.PutVoid()))) {
          stream_ = stream;
        }
      }
      break;
    case MESourceStarted:
      source_started_ = true;
      break;
    case MEStreamStarted:
      stream_started_ = true;
      break;
    case MESourceStopped:
      source_started_ = false;
      break;
    case MEStreamStopped:
      stream_started_ = false;
      break;
    case MEMediaSample:
      if (from_stream && object) {
        ComPtr<IMFSample> sample;
        if (SUCCEEDED(object->QueryInterface(IID_IMFSample, sample.PutVoid()))) {
          pending_sample_ = sample;
        }
      }
      break;
    case MEError:
      LogLine("[camhost] the source reported an error\n");
      break;
    default:
      break;
  }
}

void CameraSource::DrainEvents() {
  for (int round = 0; round < 64; ++round) {
    bool any = false;
    ComPtr<IMFMediaEvent> event;
    if (source_ &&
        SUCCEEDED(source_->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf())) &&
        event) {
      HandleEvent(event.Get(), false);
      any = true;
    }
    if (stream_ &&
        SUCCEEDED(stream_->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf())) &&
        event) {
      HandleEvent(event.Get(), true);
      any = true;
    }
    if (!any) return;
  }
}

bool CameraSource::DeliverSample(IMFSample* sample,
                                 const std::function<bool(const Nv12View&)>& deliver) {
  constexpr uint64_t kRows = kSinkHeight * 3 / 2;
  ComPtr<IMFMediaBuffer> buffer;
  if (FAILED(sample->GetBufferByIndex(0, buffer.ReleaseAndGetAddressOf())) || !buffer) {
    LogLine("[camhost] a sample without a buffer\n");
    return true;
  }
  // The source's buffer is checked before it is read: the pitch must hold a
  // row and the last row must end inside the buffer.
  ComPtr<IMF2DBuffer2> buffer2d;
  if (SUCCEEDED(buffer.As(&buffer2d)) && buffer2d) {
    uint8_t* scanline0 = nullptr;
    uint8_t* start = nullptr;
    int32_t pitch = 0;
    uint32_t length = 0;
    if (FAILED(
            buffer2d->Lock2DSize(MF2DBuffer_LockFlags_Read, &scanline0, &pitch, &start, &length))) {
      LogLine("[camhost] Lock2DSize failed\n");
      return true;
    }
    bool ok = true;
    if (pitch >= kSinkWidth && scanline0 >= start &&
        static_cast<uint64_t>(scanline0 - start) + static_cast<uint64_t>(pitch) * (kRows - 1) +
                kSinkWidth <=
            length) {
      ok = deliver(Nv12View{scanline0, scanline0 + static_cast<size_t>(pitch) * kSinkHeight, pitch,
                            kSinkWidth, kSinkHeight});
    } else {
      LogLine("[camhost] a sample buffer of another shape (pitch %d, %u bytes)\n", pitch, length);
    }
    (void)buffer2d->Unlock2D();
    return ok;
  }
  uint8_t* data = nullptr;
  uint32_t max_length = 0;
  uint32_t current = 0;
  if (FAILED(buffer->Lock(&data, &max_length, &current))) return true;
  bool ok = true;
  if (current >= kRows * kSinkWidth && current <= max_length) {
    ok = deliver(
        Nv12View{data, data + kSinkWidth * kSinkHeight, kSinkWidth, kSinkWidth, kSinkHeight});
  } else {
    LogLine("[camhost] a sample of %u bytes is no picture\n", current);
  }
  (void)buffer->Unlock();
  return ok;
}

CameraSource::Pull CameraSource::PullSample(const std::function<bool(const Nv12View&)>& deliver,
                                            int64_t& time_100ns,
                                            std::optional<PictureStamp>& picture) {
  picture.reset();
  DrainEvents();
  pending_sample_.Reset();
  HRESULT hr = stream_->RequestSample(nullptr);
  if (FAILED(hr)) {
    if (hr == MF_E_SHUTDOWN || ++request_failures_ > kFailedRequestsAllowed) {
      LogLine("[camhost] RequestSample failed 0x%08X; giving up\n", Hex(hr));
      return Pull::kSourceFailed;
    }
    if (request_failures_ == 1) LogLine("[camhost] RequestSample failed 0x%08X\n", Hex(hr));
    std::this_thread::sleep_for(33ms);
    return Pull::kNothing;
  }
  request_failures_ = 0;
  const uint64_t deadline = TickMs() + kSampleWaitMs;
  for (;;) {
    DrainEvents();
    if (pending_sample_ || stop_ || TickMs() >= deadline) break;
    std::this_thread::sleep_for(1ms);
  }
  if (!pending_sample_) return Pull::kNothing;
  ComPtr<IMFSample> sample = std::move(pending_sample_);
  if (FAILED(sample->GetSampleTime(&time_100ns))) time_100ns = MFGetSystemTime();
  PictureStamp stamp;
  if (SUCCEEDED(sample->GetUINT64(PictureSequenceAttribute, &stamp.sequence)) &&
      SUCCEEDED(sample->GetUINT64(PicturePublishTimeAttribute, &stamp.publish_ns))) {
    picture = stamp;
  }
  return DeliverSample(sample.Get(), deliver) ? Pull::kDelivered : Pull::kSinkFailed;
}

}  // namespace vistrel
