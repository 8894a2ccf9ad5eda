#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <vector>

#include "platform/mf/mf.h"

namespace vistrel {
namespace {

struct Locked {
  HRESULT result = E_FAIL;
  struct {
    uint8_t* scanline0 = nullptr;
    uint8_t* start = nullptr;
    int32_t pitch = 0;
    uint32_t length = 0;
  } view;
};

Locked LockForWriting(IMF2DBuffer2* buffer) {
  Locked locked;
  locked.result = buffer->Lock2DSize(MF2DBuffer_LockFlags_Write, &locked.view.scanline0,
                                     &locked.view.pitch, &locked.view.start, &locked.view.length);
  return locked;
}

TEST(BufferTest, PitchIsRoundedUpAndRowsStayApart) {
  ComPtr<IMFMediaBuffer> buffer;
  ASSERT_EQ(MFCreate2DMediaBuffer(1000, 4, FOURCC_NV12, false, buffer.ReleaseAndGetAddressOf()),
            S_OK);
  ComPtr<IMF2DBuffer2> buffer_2d;
  ASSERT_EQ(buffer.As(&buffer_2d), S_OK);
  const Locked locked = LockForWriting(buffer_2d.Get());
  ASSERT_EQ(locked.result, S_OK);
  auto [scanline0, start, pitch, length] = locked.view;
  EXPECT_EQ(pitch, 1024);
  EXPECT_EQ(length, 1024u * 6);
  // Row r holds the value r; padding holds 0xEE.
  for (int row = 0; row < 6; ++row) {
    std::fill_n(scanline0 + row * pitch, 1000, static_cast<uint8_t>(row));
    std::fill_n(scanline0 + row * pitch + 1000, 24, 0xEE);
  }
  // Linear access is refused while locked in 2D.
  uint8_t* data = nullptr;
  EXPECT_EQ(buffer->Lock(&data, nullptr, nullptr), MF_E_UNEXPECTED);
  ASSERT_EQ(buffer_2d->Unlock2D(), S_OK);
  EXPECT_EQ(buffer_2d->Unlock2D(), E_UNEXPECTED);

  // The linear view is the picture without padding, written back at Unlock.
  uint32_t max_length = 0;
  ASSERT_EQ(buffer->Lock(&data, &max_length, nullptr), S_OK);
  EXPECT_EQ(max_length, 6000u);
  EXPECT_EQ(data[999], 0);
  EXPECT_EQ(data[1000], 1);
  data[5999] = 77;
  ASSERT_EQ(buffer->Unlock(), S_OK);
  std::vector<uint8_t> contiguous(6000);
  ASSERT_EQ(buffer_2d->ContiguousCopyTo(contiguous.data(), 6000), S_OK);
  EXPECT_EQ(contiguous[5999], 77);
  EXPECT_EQ(contiguous[1000], 1);

  EXPECT_EQ(buffer->SetCurrentLength(length + 1), E_INVALIDARG);
  EXPECT_EQ(buffer->SetCurrentLength(length), S_OK);
}

TEST(BufferTest, RefusesWhatItCannotDescribe) {
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(MFCreate2DMediaBuffer(1280, 720, 0x32595559 /* YUY2 */, false,
                                  buffer.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(MFCreate2DMediaBuffer(1280, 720, FOURCC_NV12, true, buffer.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(MFCreate2DMediaBuffer(1281, 720, FOURCC_NV12, false, buffer.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  EXPECT_EQ(CreateNv12BufferWithPitch(1280, 720, 1200, buffer.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  ASSERT_EQ(MFCreate2DMediaBuffer(1280, 720, FOURCC_NV12, false, buffer.ReleaseAndGetAddressOf()),
            S_OK);
  uint32_t max_length = 0;
  buffer->GetMaxLength(&max_length);
  EXPECT_EQ(max_length, 1280u * 1080);
}

TEST(BufferTest, LentMemoryIsWrittenInPlaceAndKeptAliveByTheBuffer) {
  auto memory = std::make_shared<std::vector<uint8_t>>(16 * 6 + 1, 0x11);
  const std::span<uint8_t> bytes(memory->data(), 16 * 6);
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(CreateNv12BufferOver(bytes.first(16 * 6 - 1), memory, 16, 4, 16,
                                 buffer.ReleaseAndGetAddressOf()),
            E_INVALIDARG);
  ASSERT_EQ(CreateNv12BufferOver(bytes, memory, 16, 4, 16, buffer.ReleaseAndGetAddressOf()), S_OK);
  std::weak_ptr<std::vector<uint8_t>> watch = memory;
  memory.reset();
  EXPECT_FALSE(watch.expired()) << "the buffer keeps the lent memory";
  ComPtr<IMF2DBuffer2> buffer_2d;
  ASSERT_EQ(buffer.As(&buffer_2d), S_OK);
  const Locked locked = LockForWriting(buffer_2d.Get());
  ASSERT_EQ(locked.result, S_OK);
  auto [scanline0, start, pitch, length] = locked.view;
  EXPECT_EQ(scanline0, bytes.data());
  EXPECT_EQ(pitch, 16);
  EXPECT_EQ(length, 16u * 6);
  std::fill_n(scanline0, length, 0x22);
  buffer_2d->Unlock2D();
  EXPECT_EQ(watch.lock()->back(), 0x11) << "nothing past the lent bytes";
  buffer_2d.Reset();
  buffer.Reset();
  EXPECT_TRUE(watch.expired());
}

TEST(AllocatorTest, PoolHandsOutFreeSamplesOnly) {
  ComPtr<IMFVideoSampleAllocator> allocator;
  ASSERT_EQ(MFCreateVideoSampleAllocator(IID_IMFVideoSampleAllocator, allocator.PutVoid()), S_OK);
  ComPtr<IMFSample> sample;
  EXPECT_EQ(allocator->AllocateSample(sample.ReleaseAndGetAddressOf()), MF_E_NOT_INITIALIZED);
  ComPtr<IMFMediaType> type;
  MFCreateMediaType(type.ReleaseAndGetAddressOf());
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  type->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_NV12);
  EXPECT_EQ(allocator->InitializeSampleAllocator(2, type.Get()), MF_E_INVALIDMEDIATYPE);
  MFSetAttributeSize(type.Get(), MF_MT_FRAME_SIZE, 64, 32);
  ASSERT_EQ(allocator->InitializeSampleAllocator(2, type.Get()), S_OK);

  ComPtr<IMFSample> first, second, third;
  ASSERT_EQ(allocator->AllocateSample(first.ReleaseAndGetAddressOf()), S_OK);
  ASSERT_EQ(allocator->AllocateSample(second.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_NE(first.Get(), second.Get());
  EXPECT_EQ(allocator->AllocateSample(third.ReleaseAndGetAddressOf()), MF_E_SAMPLEALLOCATOR_EMPTY);
  first->SetUINT32(MF_MT_SAMPLE_SIZE, 1);
  IMFSample* returned = first.Get();
  first.Reset();
  ASSERT_EQ(allocator->AllocateSample(third.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(third.Get(), returned);
  uint32_t count = 1;
  third->GetCount(&count);
  EXPECT_EQ(count, 0u);  // attributes of the last use are gone
  // Samples out when the pool goes stay usable.
  ASSERT_EQ(allocator->UninitializeSampleAllocator(), S_OK);
  ComPtr<IMFMediaBuffer> buffer;
  EXPECT_EQ(second->GetBufferByIndex(0, buffer.ReleaseAndGetAddressOf()), S_OK);
}

TEST(SystemTimeTest, TimerSignalsNoEarlierThanItsDueTime) {
  auto timer = WaitableTimer::Create();
  ASSERT_TRUE(timer.has_value());
  const int64_t before = MFGetSystemTime();
  ASSERT_TRUE(timer->SetRelative(200'000));  // 20 ms
  EXPECT_EQ(timer->Wait(5000), WaitableTimer::WaitResult::kSignaled);
  EXPECT_GE(MFGetSystemTime() - before, 200'000);
  // Consumed: a second wait with no new due time times out.
  EXPECT_EQ(timer->Wait(1), WaitableTimer::WaitResult::kTimedOut);
  ASSERT_TRUE(timer->SetRelative(0));
  EXPECT_EQ(timer->Wait(5000), WaitableTimer::WaitResult::kSignaled);
}

TEST(SystemTimeTest, StartupIsCounted) {
  const uint32_t before = MFStartupCount();
  ASSERT_EQ(MFStartup(MF_VERSION, MFSTARTUP_LITE), S_OK);
  EXPECT_EQ(MFStartupCount(), before + 1);
  EXPECT_EQ(MFShutdown(), S_OK);
  EXPECT_EQ(MFStartupCount(), before);
}

}  // namespace
}  // namespace vistrel
