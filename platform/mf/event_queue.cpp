#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/mf/events.h"
#include "platform/mf/media_event.h"

namespace vistrel {
namespace {

// What the queue and its callback thread share; the thread keeps it alive
// even when the queue object goes away during a callback.
struct QueueState {
  std::mutex mutex;
  std::condition_variable changed;
  // All guarded by mutex.
  std::deque<ComPtr<IMFMediaEvent>> events;
  bool shut_down = false;
  bool waiter = false;  // a blocking GetEvent is in progress
  ComPtr<IMFAsyncCallback> callback;  // the pending BeginGetEvent
  ComPtr<IUnknown> callback_state;
};

// Invokes each pending callback once an event is there, or with MF_E_SHUTDOWN
// when the queue shuts down; ends after shutdown once nothing is pending.
void DispatchCallbacks(std::shared_ptr<QueueState> state) {
  for (;;) {
    ComPtr<IMFAsyncCallback> callback;
    ComPtr<IUnknown> callback_state;
    ComPtr<IMFMediaEvent> event;
    {
      std::unique_lock lock(state->mutex);
      state->changed.wait(lock, [&] {
        return state->shut_down || (state->callback && !state->events.empty());
      });
      if (!state->callback) return;  // shut down with nothing pending
      callback = std::move(state->callback);
      callback_state = std::move(state->callback_state);
      if (!state->shut_down) {
        event = std::move(state->events.front());
        state->events.pop_front();
      }
    }
    ComPtr<IMFAsyncResult> result;
    if (SUCCEEDED(CreateAsyncResult(callback_state.Get(), event ? S_OK : MF_E_SHUTDOWN,
                                    event.Get(), result.GetAddressOf()))) {
      callback->Invoke(result.Get());
    }
  }
}

class EventQueue final : public IMFMediaEventQueue {
 public:
  EventQueue() : state_(std::make_shared<QueueState>()) {}
  ~EventQueue() override {
    Shutdown();
    if (!thread_.joinable()) return;
    // The last reference may go inside a callback, on the thread itself.
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  HRESULT QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == IID_IMFMediaEventQueue) return ReturnInterface(this, out);
    return E_NOINTERFACE;
  }
  uint32_t AddRef() override { return refs_.AddRef(); }
  uint32_t Release() override { return refs_.Release(this); }

  HRESULT GetEvent(uint32_t flags, IMFMediaEvent** event) override {
    if (!event) return E_POINTER;
    *event = nullptr;
    std::unique_lock lock(state_->mutex);
    if (state_->shut_down) return MF_E_SHUTDOWN;
    if (state_->waiter || state_->callback) return MF_E_MULTIPLE_SUBSCRIBERS;
    if (state_->events.empty()) {
      if (flags & MF_EVENT_FLAG_NO_WAIT) return MF_E_NO_EVENTS_AVAILABLE;
      state_->waiter = true;
      state_->changed.wait(lock, [&] { return state_->shut_down || !state_->events.empty(); });
      state_->waiter = false;
      if (state_->shut_down) return MF_E_SHUTDOWN;
    }
    *event = state_->events.front().Detach();
    state_->events.pop_front();
    return S_OK;
  }

  HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* callback_state) override {
    if (!callback) return E_POINTER;
    std::lock_guard lock(state_->mutex);
    if (state_->shut_down) return MF_E_SHUTDOWN;
    if (state_->callback) return MF_E_MULTIPLE_BEGIN;
    if (state_->waiter) return MF_E_MULTIPLE_SUBSCRIBERS;
    if (!thread_.joinable()) {
      try {
        thread_ = std::thread(DispatchCallbacks, state_);
      } catch (...) {
        return E_OUTOFMEMORY;
      }
    }
    state_->callback = callback;
    state_->callback_state = callback_state;
    state_->changed.notify_all();
    return S_OK;
  }

  HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    if (!result || !event) return E_POINTER;
    *event = nullptr;
    const HRESULT status = result->GetStatus();
    if (FAILED(status)) return status;
    ComPtr<IUnknown> object;
    const HRESULT hr = result->GetObject(object.GetAddressOf());
    if (FAILED(hr)) return hr;
    return object->QueryInterface(IID_IMFMediaEvent, reinterpret_cast<void**>(event));
  }

  HRESULT QueueEvent(IMFMediaEvent* event) override {
    if (!event) return E_POINTER;
    return NoThrow([&] {
      std::lock_guard lock(state_->mutex);
      if (state_->shut_down) return MF_E_SHUTDOWN;
      state_->events.emplace_back(event);
      state_->changed.notify_all();
      return S_OK;
    });
  }

  HRESULT QueueEventParamVar(MediaEventType type, REFGUID extended_type, HRESULT status,
                             const PROPVARIANT* value) override {
    ComPtr<IMFMediaEvent> event;
    const HRESULT hr =
        MFCreateMediaEvent(type, extended_type, status, value, event.GetAddressOf());
    if (FAILED(hr)) return hr;
    return QueueEvent(event.Get());
  }

  HRESULT QueueEventParamUnk(MediaEventType type, REFGUID extended_type, HRESULT status,
                             IUnknown* object) override {
    const PropVariant value = PropVariant::FromUnknown(object);
    return QueueEventParamVar(type, extended_type, status, &value);
  }

  HRESULT Shutdown() override {
    std::unique_lock lock(state_->mutex);
    if (state_->shut_down) return S_OK;
    state_->shut_down = true;
    state_->changed.notify_all();
    // Each event is released after the lock, as its value may hold the last
    // reference to an object that comes back here; one by one, because the
    // destructor calls this and must not allocate (an empty deque does).
    while (!state_->events.empty()) {
      ComPtr<IMFMediaEvent> event = std::move(state_->events.front());
      state_->events.pop_front();
      lock.unlock();
      event.Reset();
      lock.lock();
    }
    return S_OK;
  }

 private:
  RefCount refs_;
  const std::shared_ptr<QueueState> state_;
  std::thread thread_;  // started by the first BeginGetEvent; guarded by state_->mutex
};

}  // namespace

HRESULT MFCreateEventQueue(IMFMediaEventQueue** queue) {
  if (!queue) return E_POINTER;
  auto created = MakeCom<EventQueue>();
  if (!created) return E_OUTOFMEMORY;
  *queue = created.Detach();
  return S_OK;
}

}  // namespace vistrel
