#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/vcam/vcam_test_util.h"
#include "platform/shared_memory.h"
#include "video/exchange/frame_exchange.h"
#include "video/exchange/frame_writer.h"

namespace vistrel::test {
namespace {

constexpr int64_t kInterval = 333'333;
// Timer and clock granularity allowance for the lower bounds below.
constexpr int64_t kTolerance = 20'000;  // 2 ms

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++n;
  }
  return n;
}

// An allocator of our own whose buffers have a wide pitch with marked padding.
class PaddedAllocator final : public VideoSampleAllocatorBase<PaddedAllocator> {
 public:
  static constexpr uint32_t kPitch = 1344;

  HRESULT SetDirectXManager(IUnknown*) override { return S_OK; }
  HRESULT UninitializeSampleAllocator() override {
    ++uninitialized;
    return S_OK;
  }
  HRESULT InitializeSampleAllocator(uint32_t frames, IMFMediaType*) override {
    requested = frames;
    return fail_initialize ? E_FAIL : S_OK;
  }
  HRESULT AllocateSample(IMFSample** sample) override {
    if (fail_allocate) return E_FAIL;
    ComPtr<IMFSample> created;
    ComPtr<IMFMediaBuffer> buffer;
    MFCreateSample(created.ReleaseAndGetAddressOf());
    CreateNv12BufferWithPitch(1280, 720, kPitch, buffer.ReleaseAndGetAddressOf());
    uint8_t* data = nullptr;
    buffer->Lock(&data, nullptr, nullptr);  // contiguous view; padding set below
    buffer->Unlock();
    ComPtr<IMF2DBuffer2> buffer_2d;
    buffer.As(&buffer_2d);
    uint8_t *scanline0 = nullptr, *start = nullptr;
    int32_t pitch = 0;
    uint32_t length = 0;
    buffer_2d->Lock2DSize(MF2DBuffer_LockFlags_Write, &scanline0, &pitch, &start, &length);
    std::fill_n(start, length, 0xEE);
    buffer_2d->Unlock2D();
    created->AddBuffer(buffer.Get());
    *sample = created.Detach();
    ++allocated;
    return S_OK;
  }

  bool fail_initialize = false;
  bool fail_allocate = false;
  uint32_t requested = 0;
  int allocated = 0;
  int uninitialized = 0;

 private:
};

struct Camera {
  explicit Camera(const VcamEnvironment& env)
      : activator(CreateActivator()),
        source(ActivateSource(activator.Get(), env.exchange_name())) {}
  ~Camera() { activator->ShutdownObject(); }

  ComPtr<IMFActivate> activator;
  ComPtr<IMFMediaSourceEx> source;
};

// The picture of a sample's buffer: (pitch, bytes from the first row).
std::pair<int32_t, std::vector<uint8_t>> Picture(IMFSample* sample) {
  ComPtr<IMFMediaBuffer> buffer;
  sample->GetBufferByIndex(0, buffer.ReleaseAndGetAddressOf());
  ComPtr<IMF2DBuffer2> buffer_2d;
  EXPECT_EQ(buffer.As(&buffer_2d), S_OK);
  uint8_t *scanline0 = nullptr, *start = nullptr;
  int32_t pitch = 0;
  uint32_t length = 0;
  buffer_2d->Lock2DSize(MF2DBuffer_LockFlags_Read, &scanline0, &pitch, &start, &length);
  std::vector<uint8_t> bytes(start, start + length);
  buffer_2d->Unlock2D();
  return {pitch, bytes};
}

bool IsWaitingPicture(const std::vector<uint8_t>& bytes, int32_t pitch) {
  for (int row : {0, 719}) {
    for (int x = 0; x < 1280; ++x) {
      const uint8_t y = bytes[row * pitch + x];
      if (y != 40 && y != 110) return false;
    }
  }
  const size_t uv = size_t{720} * pitch;
  return bytes[uv] == 150 && bytes[uv + 1] == 120 && bytes[uv + 359 * pitch + 1279] == 120;
}

TEST(VcamStreamTest, SourceAttributesAndRefusals) {
  VcamEnvironment env;
  Camera camera(env);
  auto& source = camera.source;
  EXPECT_EQ(source->Pause(), MF_E_INVALID_STATE_TRANSITION);
  ComPtr<IMFAttributes> attributes;
  EXPECT_EQ(source->GetStreamAttributes(1, attributes.ReleaseAndGetAddressOf()), E_INVALIDARG);
  EXPECT_EQ(source->GetStreamAttributes(0, nullptr), E_POINTER);
  ASSERT_EQ(source->GetStreamAttributes(0, attributes.ReleaseAndGetAddressOf()), S_OK);
  GUID category{};
  attributes->GetGUID(MF_DEVICESTREAM_STREAM_CATEGORY, &category);
  EXPECT_EQ(category, PINNAME_VIDEO_CAPTURE);
  uint32_t count = 0;
  attributes->GetCount(&count);
  EXPECT_EQ(count, 4u);

  ComPtr<IMFGetService> service;
  ASSERT_EQ(source.As(&service), S_OK);
  void* out = &count;
  EXPECT_EQ(service->GetService(GUID_NULL, IID_IUnknown, &out), MF_E_UNSUPPORTED_SERVICE);
  EXPECT_EQ(out, nullptr);
  ComPtr<IKsControl> ks;
  ASSERT_EQ(source.As(&ks), S_OK);
  EXPECT_EQ(ks->KsProperty(nullptr, 0, nullptr, 0, nullptr), MakeHresult(0x80070492));
  ComPtr<IMFSampleAllocatorControl> control;
  ASSERT_EQ(source.As(&control), S_OK);
  uint32_t input = 9;
  MFSampleAllocatorUsage usage = MFSampleAllocatorUsage_DoesNotAllocate;
  EXPECT_EQ(control->GetAllocatorUsage(0, &input, &usage), S_OK);
  EXPECT_EQ(input, 0u);
  EXPECT_EQ(usage, MFSampleAllocatorUsage_UsesProvidedAllocator);

  // The offered type.
  ComPtr<IMFPresentationDescriptor> pd;
  ASSERT_EQ(source->CreatePresentationDescriptor(pd.ReleaseAndGetAddressOf()), S_OK);
  bool selected = false;
  ComPtr<IMFStreamDescriptor> sd;
  ASSERT_EQ(pd->GetStreamDescriptorByIndex(0, &selected, sd.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_TRUE(selected);
  ComPtr<IMFMediaTypeHandler> handler;
  sd->GetMediaTypeHandler(handler.ReleaseAndGetAddressOf());
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(handler->GetCurrentMediaType(type.ReleaseAndGetAddressOf()), S_OK);
  uint32_t width = 0, height = 0, size = 0;
  MFGetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, &width, &height);
  type->GetUINT32(MF_MT_SAMPLE_SIZE, &size);
  EXPECT_EQ(width, 1280u);
  EXPECT_EQ(height, 720u);
  EXPECT_EQ(size, 1'382'400u);
  uint32_t stream_id = 9;
  EXPECT_EQ(sd->GetUINT32(MF_DEVICESTREAM_STREAM_ID, &stream_id), S_OK);  // copied in
  EXPECT_EQ(stream_id, 0u);

  // A time format that is not GUID_NULL queues nothing.
  constexpr GUID kOtherFormat = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  EXPECT_EQ(source->Start(pd.Get(), &kOtherFormat, nullptr), MF_E_UNSUPPORTED_TIME_FORMAT);
  EXPECT_TRUE(DrainEvents(source.Get()).empty());
  EXPECT_EQ(source->Start(nullptr, nullptr, nullptr), E_POINTER);
}

TEST(VcamStreamTest, EventsOfStartsAndStops) {
  VcamEnvironment env;
  Camera camera(env);
  ComPtr<IMFPresentationDescriptor> pd;
  camera.source->CreatePresentationDescriptor(pd.ReleaseAndGetAddressOf());
  const PropVariant position = PropVariant::FromInt64(12345);
  ASSERT_EQ(camera.source->Start(pd.Get(), &GUID_NULL, &position), S_OK);
  ComPtr<IMFMediaEvent> event;
  ASSERT_EQ(camera.source->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()), S_OK);
  MediaEventType type = 0;
  event->GetType(&type);
  EXPECT_EQ(type, MENewStream);
  PropVariant value;
  event->GetValue(&value);
  ComPtr<IMFMediaStream2> stream;
  ASSERT_EQ(value.punkVal()->QueryInterface(IID_IMFMediaStream2, stream.PutVoid()), S_OK);
  ASSERT_EQ(camera.source->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()), S_OK);
  event->GetType(&type);
  EXPECT_EQ(type, MESourceStarted);
  event->GetValue(&value);
  EXPECT_EQ(value.hVal(), 12345);
  EXPECT_EQ(DrainEvents(stream.Get()), std::vector<MediaEventType>{MEStreamStarted});

  ASSERT_EQ(camera.source->Stop(), S_OK);
  EXPECT_EQ(DrainEvents(camera.source.Get()), std::vector<MediaEventType>{MESourceStopped});
  EXPECT_EQ(DrainEvents(stream.Get()), std::vector<MediaEventType>{MEStreamStopped});
  EXPECT_EQ(camera.source->Pause(), MF_E_INVALID_STATE_TRANSITION);

  ASSERT_EQ(camera.source->Start(pd.Get(), nullptr, nullptr), S_OK);
  EXPECT_EQ(DrainEvents(camera.source.Get()),
            (std::vector<MediaEventType>{MEUpdatedStream, MESourceStarted}));
  EXPECT_EQ(camera.source->Pause(), MF_E_INVALID_STATE_TRANSITION);

  // SetStreamState: the same state changes nothing; PAUSED is stored silently.
  EXPECT_EQ(stream->SetStreamState(MF_STREAM_STATE_RUNNING), S_OK);
  EXPECT_EQ(DrainEvents(stream.Get()), std::vector<MediaEventType>{MEStreamStarted});
  ASSERT_EQ(stream->SetStreamState(MF_STREAM_STATE_PAUSED), S_OK);
  EXPECT_TRUE(DrainEvents(stream.Get()).empty());
  ComPtr<IMFSample> sample;
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_MEDIA_SOURCE_WRONGSTATE);
  ASSERT_EQ(stream->SetStreamState(MF_STREAM_STATE_STOPPED), S_OK);
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_MEDIA_SOURCE_WRONGSTATE);
  EXPECT_EQ(DrainEvents(stream.Get()), std::vector<MediaEventType>{MEStreamStopped});

  ComPtr<IMFMediaSource> back;
  ASSERT_EQ(stream->GetMediaSource(back.ReleaseAndGetAddressOf()), S_OK);
  camera.activator->ShutdownObject();
  EXPECT_EQ(stream->RequestSample(nullptr), MF_E_SHUTDOWN);
  EXPECT_EQ(stream->GetMediaSource(back.ReleaseAndGetAddressOf()), MF_E_SHUTDOWN);
  EXPECT_EQ(camera.source->Start(pd.Get(), nullptr, nullptr), MF_E_SHUTDOWN);
}

TEST(VcamStreamTest, WaitingPictureWithoutAReceiverAndTheToken) {
  VcamEnvironment env;
  Camera camera(env);
  auto stream = StartSource(camera.source.Get());
  ASSERT_TRUE(stream);
  ComPtr<IMFAttributes> token;
  MFCreateAttributes(token.ReleaseAndGetAddressOf(), 1);
  for (int i = 0; i < 4; ++i) {
    ComPtr<IMFSample> sample;
    const int64_t before = MFGetSystemTime();
    ASSERT_EQ(RequestOne(stream.Get(), sample, token.Get()), S_OK);
    auto [pitch, bytes] = Picture(sample.Get());
    EXPECT_EQ(pitch, 1280);
    EXPECT_TRUE(IsWaitingPicture(bytes, pitch));
    int64_t time = 0, duration = 0;
    sample->GetSampleTime(&time);
    sample->GetSampleDuration(&duration);
    EXPECT_GE(time, before);
    EXPECT_EQ(duration, kInterval);
    ComPtr<IUnknown> carried;
    ASSERT_EQ(sample->GetUnknown(MFSampleExtension_Token, IID_IUnknown, carried.PutVoid()), S_OK);
    EXPECT_EQ(carried.Get(), static_cast<IUnknown*>(token.Get()));
    ComPtr<IMFMediaBuffer> buffer;
    sample->GetBufferByIndex(0, buffer.ReleaseAndGetAddressOf());
    uint32_t length = 0;
    buffer->GetCurrentLength(&length);
    EXPECT_EQ(length, 1'382'400u);
  }
  const std::string log = env.LogText();
  EXPECT_EQ(Count(log, "FrameReader: shared memory ready (created)"), 1u) << log;
  EXPECT_EQ(Count(log,
                  "Stream: 2D buffer pitch=1280 length=1382400 live=0 allocator=0 "
                  "unlock=0x00000000 setLength=0x00000000"),
            3u)
      << log;
}

TEST(VcamStreamTest, ThePictureOfAWriterHonouringThePitch) {
  VcamEnvironment env;
  Camera camera(env);
  auto allocator = MakeCom<PaddedAllocator>();
  ComPtr<IMFSampleAllocatorControl> control;
  ASSERT_EQ(camera.source.As(&control), S_OK);
  ASSERT_EQ(control->SetDefaultAllocator(0, allocator.Get()), S_OK);
  auto stream = StartSource(camera.source.Get());
  ASSERT_TRUE(stream);
  EXPECT_EQ(allocator->requested, 10u);

  ComPtr<IMFSample> sample;
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);  // creates the exchange
  FrameWriter writer(env.exchange_name());
  std::vector<uint8_t> luma(1280 * 720), chroma(1280 * 360);
  for (size_t i = 0; i < luma.size(); ++i) luma[i] = static_cast<uint8_t>(i % 251);
  for (size_t i = 0; i < chroma.size(); ++i) chroma[i] = static_cast<uint8_t>(i % 239);
  ASSERT_TRUE(writer.WriteFrame({luma.data(), chroma.data(), 1280, 1280, 720}));

  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  auto [pitch, bytes] = Picture(sample.Get());
  ASSERT_EQ(pitch, static_cast<int32_t>(PaddedAllocator::kPitch));
  for (int row : {0, 1, 359, 719}) {
    EXPECT_EQ(0, std::memcmp(&bytes[row * pitch], &luma[row * 1280], 1280)) << row;
    EXPECT_EQ(bytes[row * pitch + 1280], 0xEE) << "padding written in row " << row;
  }
  for (int row : {0, 359}) {
    EXPECT_EQ(0, std::memcmp(&bytes[(720 + row) * pitch], &chroma[row * 1280], 1280)) << row;
  }
  EXPECT_EQ(allocator->allocated, 2);
  EXPECT_NE(env.LogText().find("Stream: 2D buffer pitch=1344 length=1451520 live=1 allocator=1"),
            std::string::npos)
      << env.LogText();
  EXPECT_EQ(writer.FramesRead(), 1u);

  // A writer stuck in the middle of a picture: after a short wait the sample
  // gets the waiting picture, and the stop reports it.
  {
    auto mapping = SharedMemory::Open(env.exchange_name(), kExchangeSize);
    ASSERT_TRUE(mapping);
    auto& header = *reinterpret_cast<FrameExchangeHeader*>((*mapping)->data());
    std::atomic_ref<uint64_t>(header.sequence).fetch_add(1);
    ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
    std::atomic_ref<uint64_t>(header.sequence).fetch_add(1);
  }
  EXPECT_EQ(writer.FramesRead(), 1u);

  // A stop gives the pool back.
  ASSERT_EQ(camera.source->Stop(), S_OK);
  EXPECT_EQ(allocator->uninitialized, 1);
  EXPECT_EQ(Count(env.LogText(),
                  "Stream: 3 reads, 1 live; the writer was busy in 1, 1 of them gave up\n"),
            1u)
      << env.LogText();
}

TEST(VcamStreamTest, ForeignAllocatorIsRefusedAndTheCurrentOneKept) {
  VcamEnvironment env;
  Camera camera(env);
  auto allocator = MakeCom<PaddedAllocator>();
  ComPtr<IMFSampleAllocatorControl> control;
  ASSERT_EQ(camera.source.As(&control), S_OK);
  ASSERT_EQ(control->SetDefaultAllocator(0, allocator.Get()), S_OK);
  ComPtr<IMFAttributes> foreign;
  MFCreateAttributes(foreign.ReleaseAndGetAddressOf(), 1);
  EXPECT_EQ(control->SetDefaultAllocator(0, foreign.Get()), E_NOINTERFACE);
  EXPECT_EQ(control->SetDefaultAllocator(1, allocator.Get()), E_INVALIDARG);
  auto stream = StartSource(camera.source.Get());
  ComPtr<IMFSample> sample;
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  EXPECT_EQ(allocator->allocated, 1);
  EXPECT_EQ(Count(env.LogText(), "Source: default allocator set"), 1u);

  // Cleared: memory samples again.
  ASSERT_EQ(control->SetDefaultAllocator(0, nullptr), S_OK);
  EXPECT_NE(env.LogText().find("Source: default allocator cleared"), std::string::npos);
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  EXPECT_EQ(allocator->allocated, 1);
}

TEST(VcamStreamTest, AllocatorThatFailsFallsBackToMemorySamples) {
  VcamEnvironment env;
  Camera camera(env);
  auto allocator = MakeCom<PaddedAllocator>();
  allocator->fail_initialize = true;
  ComPtr<IMFSampleAllocatorControl> control;
  camera.source.As(&control);
  ASSERT_EQ(control->SetDefaultAllocator(0, allocator.Get()), S_OK);
  auto stream = StartSource(camera.source.Get());
  ComPtr<IMFSample> sample;
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  EXPECT_EQ(allocator->allocated, 0);
  EXPECT_EQ(Picture(sample.Get()).first, 1280);
  EXPECT_NE(env.LogText().find(
                "Stream: InitializeSampleAllocator failed 0x80004005, using memory samples"),
            std::string::npos);

  // Ready, but with no sample to give: a memory sample, and the buffer's line
  // says that the allocator is not in use.
  allocator->fail_initialize = false;
  allocator->fail_allocate = true;
  ASSERT_EQ(camera.source->Stop(), S_OK);
  stream = StartSource(camera.source.Get());
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  EXPECT_EQ(Picture(sample.Get()).first, 1280);
  const std::string log = env.LogText();
  EXPECT_NE(log.find("Stream: AllocateSample failed 0x80004005, using memory sample\n"),
            std::string::npos);
  EXPECT_EQ(Count(log, "Stream: 2D buffer pitch=1280 length=1382400 live=0 allocator=0"), 2u)
      << log;
}

TEST(VcamStreamTest, RequestsAreHeldToTheInterval) {
  VcamEnvironment env;
  Camera camera(env);
  auto stream = StartSource(camera.source.Get());
  ComPtr<IMFSample> sample;
  const int64_t first = MFGetSystemTime();
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  // The first was due no earlier than `first`; the second one interval later.
  EXPECT_GE(MFGetSystemTime() - first, kInterval - kTolerance);
  int64_t time = 0;
  sample->GetSampleTime(&time);
  EXPECT_GE(time - first, kInterval - kTolerance);
}

TEST(VcamStreamTest, ALateRequestRestartsTheSchedule) {
  VcamEnvironment env;
  Camera camera(env);
  auto stream = StartSource(camera.source.Get());
  ComPtr<IMFSample> sample;
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  // More than one interval late: no burst to catch up, so the request after
  // the late one is held a whole interval from the late one.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const int64_t late = MFGetSystemTime();
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  ASSERT_EQ(RequestOne(stream.Get(), sample), S_OK);
  EXPECT_GE(MFGetSystemTime() - late, kInterval - kTolerance);
}

}  // namespace
}  // namespace vistrel::test
