#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/mf/mf.h"

namespace vistrel {
namespace {

ComPtr<IMFMediaEventQueue> NewQueue() {
  ComPtr<IMFMediaEventQueue> queue;
  EXPECT_EQ(MFCreateEventQueue(queue.ReleaseAndGetAddressOf()), S_OK);
  return queue;
}

MediaEventType TypeOf(IMFMediaEvent* event) {
  MediaEventType type = MEUnknown;
  event->GetType(&type);
  return type;
}

// Calls EndGetEvent from its Invoke and hands the outcome to the test.
class Callback final : public IMFAsyncCallback {
 public:
  explicit Callback(ComPtr<IMFMediaEventQueue> queue) : queue_(std::move(queue)) {}

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (iid == IID_IUnknown || iid == IID_IMFAsyncCallback) return ReturnInterface(this, out);
    *out = nullptr;
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }
  HRESULT GetParameters(uint32_t*, uint32_t*) override { return E_NOTIMPL; }
  HRESULT Invoke(IMFAsyncResult* result) override {
    ComPtr<IMFMediaEvent> event;
    const HRESULT hr = queue_->EndGetEvent(result, event.ReleaseAndGetAddressOf());
    std::lock_guard lock(mutex_);
    thread_ = std::this_thread::get_id();
    status_ = hr;
    type_ = event ? TypeOf(event.Get()) : MEUnknown;
    if (drop_queue_) queue_.Reset();
    done_ = true;
    cv_.notify_all();
    return S_OK;
  }

  void DropQueueInInvoke() { drop_queue_ = true; }
  // Waits for one invocation.
  void Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [&] { return done_; });
  }
  HRESULT status() const { return status_; }
  MediaEventType type() const { return type_; }
  std::thread::id thread() const { return thread_; }

 private:
  RefCount refs_;
  ComPtr<IMFMediaEventQueue> queue_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  bool drop_queue_ = false;
  HRESULT status_ = E_FAIL;
  MediaEventType type_ = MEUnknown;
  std::thread::id thread_;
};

TEST(EventQueueTest, NoWaitAndOrder) {
  auto queue = NewQueue();
  ComPtr<IMFMediaEvent> event;
  EXPECT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()),
            MF_E_NO_EVENTS_AVAILABLE);
  const PropVariant time = PropVariant::FromInt64(42);
  ASSERT_EQ(queue->QueueEventParamVar(MESourceStarted, GUID_NULL, S_OK, &time), S_OK);
  ASSERT_EQ(queue->QueueEventParamUnk(MENewStream, GUID_NULL, S_OK, queue.Get()), S_OK);
  ASSERT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(TypeOf(event.Get()), MESourceStarted);
  PropVariant value;
  event->GetValue(&value);
  EXPECT_EQ(value.vt(), VT_I8);
  EXPECT_EQ(value.hVal(), 42);
  ASSERT_EQ(queue->GetEvent(0, event.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_EQ(TypeOf(event.Get()), MENewStream);
  event->GetValue(&value);
  EXPECT_EQ(value.punkVal(), static_cast<IUnknown*>(queue.Get()));
  queue->Shutdown();  // drops its own reference held by nothing but the test
}

TEST(EventQueueTest, BlockingGetEventWakesForAnEventAndForShutdown) {
  auto queue = NewQueue();
  auto waiter = std::async(std::launch::async, [&] {
    ComPtr<IMFMediaEvent> event;
    const HRESULT hr = queue->GetEvent(0, event.ReleaseAndGetAddressOf());
    return std::make_pair(hr, event ? TypeOf(event.Get()) : MEUnknown);
  });
  // A second waiter is refused while the first blocks.
  ComPtr<IMFMediaEvent> other;
  for (int i = 0; i < 1000; ++i) {
    if (queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, other.ReleaseAndGetAddressOf()) == MF_E_MULTIPLE_SUBSCRIBERS) {
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (other) FAIL() << "got an event from an empty queue";
  }
  queue->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, nullptr);
  const auto [hr, type] = waiter.get();
  EXPECT_EQ(hr, S_OK);
  EXPECT_EQ(type, MEStreamStarted);

  auto shut = std::async(std::launch::async, [&] {
    ComPtr<IMFMediaEvent> event;
    return queue->GetEvent(0, event.ReleaseAndGetAddressOf());
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  queue->Shutdown();
  EXPECT_EQ(shut.get(), MF_E_SHUTDOWN);
  EXPECT_EQ(queue->QueueEventParamVar(MEStreamStarted, GUID_NULL, S_OK, nullptr), MF_E_SHUTDOWN);
}

TEST(EventQueueTest, CallbackRunsOnAQueueThread) {
  auto queue = NewQueue();
  auto callback = MakeCom<Callback>(queue);
  ASSERT_EQ(queue->BeginGetEvent(callback.Get(), nullptr), S_OK);
  EXPECT_EQ(queue->BeginGetEvent(callback.Get(), nullptr), MF_E_MULTIPLE_BEGIN);
  ComPtr<IMFMediaEvent> event;
  EXPECT_EQ(queue->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.ReleaseAndGetAddressOf()),
            MF_E_MULTIPLE_SUBSCRIBERS);
  queue->QueueEventParamVar(MEMediaSample, GUID_NULL, S_OK, nullptr);
  callback->Wait();
  EXPECT_EQ(callback->status(), S_OK);
  EXPECT_EQ(callback->type(), MEMediaSample);
  EXPECT_NE(callback->thread(), std::this_thread::get_id());
  queue->Shutdown();
}

TEST(EventQueueTest, ShutdownInvokesAPendingCallbackWithShutdown) {
  auto queue = NewQueue();
  auto callback = MakeCom<Callback>(queue);
  ASSERT_EQ(queue->BeginGetEvent(callback.Get(), nullptr), S_OK);
  queue->Shutdown();
  callback->Wait();
  EXPECT_EQ(callback->status(), MF_E_SHUTDOWN);
}

TEST(EventQueueTest, LastReferenceMayGoInsideTheCallback) {
  auto queue = NewQueue();
  auto callback = MakeCom<Callback>(queue);
  callback->DropQueueInInvoke();
  ASSERT_EQ(queue->BeginGetEvent(callback.Get(), nullptr), S_OK);
  queue->QueueEventParamVar(MEMediaSample, GUID_NULL, S_OK, nullptr);
  queue.Reset();  // the callback now holds the last reference
  callback->Wait();
  EXPECT_EQ(callback->type(), MEMediaSample);
}

}  // namespace
}  // namespace vistrel
