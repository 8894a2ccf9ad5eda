// Media events, the event queue behind every event generator, and the
// asynchronous-callback pair that BeginGetEvent uses.
#pragma once

#include <cstdint>

#include "platform/mf/attributes.h"

namespace vistrel {

using MediaEventType = uint32_t;

// The platform's event numbers that the source and the host exchange.
constexpr MediaEventType MEUnknown = 0;
constexpr MediaEventType MEError = 1;
constexpr MediaEventType MESourceStarted = 201;
constexpr MediaEventType MEStreamStarted = 202;
constexpr MediaEventType MESourceSeeked = 203;
constexpr MediaEventType MEStreamSeeked = 204;
constexpr MediaEventType MENewStream = 205;
constexpr MediaEventType MEUpdatedStream = 206;
constexpr MediaEventType MESourceStopped = 207;
constexpr MediaEventType MEStreamStopped = 208;
constexpr MediaEventType MESourcePaused = 209;
constexpr MediaEventType MEStreamPaused = 210;
constexpr MediaEventType MEEndOfPresentation = 211;
constexpr MediaEventType MEEndOfStream = 212;
constexpr MediaEventType MEMediaSample = 213;

// GetEvent flags.
constexpr uint32_t MF_EVENT_FLAG_NO_WAIT = 0x1;

class IMFAsyncResult : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFAsyncResult;

  virtual HRESULT GetState(IUnknown** state) = 0;
  virtual HRESULT GetStatus() = 0;
  virtual HRESULT SetStatus(HRESULT status) = 0;
  virtual HRESULT GetObject(IUnknown** object) = 0;
  virtual IUnknown* GetStateNoAddRef() = 0;
};

class IMFAsyncCallback : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFAsyncCallback;

  // E_NOTIMPL means the defaults; the values are not used here.
  virtual HRESULT GetParameters(uint32_t* flags, uint32_t* queue) = 0;
  virtual HRESULT Invoke(IMFAsyncResult* result) = 0;
};

class IMFMediaEvent : public IMFAttributes {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaEvent;

  virtual HRESULT GetType(MediaEventType* type) = 0;
  virtual HRESULT GetExtendedType(GUID* extended_type) = 0;
  virtual HRESULT GetStatus(HRESULT* status) = 0;
  virtual HRESULT GetValue(PROPVARIANT* value) = 0;
};

HRESULT MFCreateMediaEvent(MediaEventType type, REFGUID extended_type, HRESULT status,
                           const PROPVARIANT* value, IMFMediaEvent** event);

class IMFMediaEventGenerator : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaEventGenerator;

  // Blocks until an event is there unless MF_EVENT_FLAG_NO_WAIT is given
  // (then MF_E_NO_EVENTS_AVAILABLE).
  virtual HRESULT GetEvent(uint32_t flags, IMFMediaEvent** event) = 0;
  // `callback` is invoked once, on a thread of the queue, when an event is
  // there (or the queue shuts down); it calls EndGetEvent with the result.
  virtual HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) = 0;
  virtual HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) = 0;
  virtual HRESULT QueueEvent(MediaEventType type, REFGUID extended_type, HRESULT status,
                             const PROPVARIANT* value) = 0;
};

// A first-in first-out queue of events with one waiter at a time: a second
// blocking GetEvent or a GetEvent while a BeginGetEvent is pending gives
// MF_E_MULTIPLE_SUBSCRIBERS, a second BeginGetEvent MF_E_MULTIPLE_BEGIN. After
// Shutdown every method gives MF_E_SHUTDOWN, a blocked GetEvent returns
// MF_E_SHUTDOWN and a pending callback is invoked with that status.
class IMFMediaEventQueue : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaEventQueue;

  virtual HRESULT GetEvent(uint32_t flags, IMFMediaEvent** event) = 0;
  virtual HRESULT BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) = 0;
  virtual HRESULT EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) = 0;
  virtual HRESULT QueueEvent(IMFMediaEvent* event) = 0;
  virtual HRESULT QueueEventParamVar(MediaEventType type, REFGUID extended_type, HRESULT status,
                                     const PROPVARIANT* value) = 0;
  virtual HRESULT QueueEventParamUnk(MediaEventType type, REFGUID extended_type, HRESULT status,
                                     IUnknown* object) = 0;
  virtual HRESULT Shutdown() = 0;
};

HRESULT MFCreateEventQueue(IMFMediaEventQueue** queue);

}  // namespace vistrel
