// The media type handler and the stream and presentation descriptors that a
// media source announces its one stream with.
#pragma once

#include <cstdint>

#include "platform/mf/attributes.h"

namespace vistrel {

class IMFMediaTypeHandler : public IUnknown {
 public:
  static constexpr const GUID& kIid = IID_IMFMediaTypeHandler;

  // S_OK when `media_type` equals one of the handler's types (the closest, or
  // null, in `closest`), MF_E_INVALIDMEDIATYPE otherwise.
  virtual HRESULT IsMediaTypeSupported(IMFMediaType* media_type, IMFMediaType** closest) = 0;
  virtual HRESULT GetMediaTypeCount(uint32_t* count) = 0;
  virtual HRESULT GetMediaTypeByIndex(uint32_t index, IMFMediaType** media_type) = 0;
  virtual HRESULT SetCurrentMediaType(IMFMediaType* media_type) = 0;
  virtual HRESULT GetCurrentMediaType(IMFMediaType** media_type) = 0;
  virtual HRESULT GetMajorType(GUID* major_type) = 0;
};

class IMFStreamDescriptor : public IMFAttributes {
 public:
  static constexpr const GUID& kIid = IID_IMFStreamDescriptor;

  virtual HRESULT GetStreamIdentifier(uint32_t* stream_id) = 0;
  virtual HRESULT GetMediaTypeHandler(IMFMediaTypeHandler** handler) = 0;
};

class IMFPresentationDescriptor : public IMFAttributes {
 public:
  static constexpr const GUID& kIid = IID_IMFPresentationDescriptor;

  virtual HRESULT GetStreamDescriptorCount(uint32_t* count) = 0;
  virtual HRESULT GetStreamDescriptorByIndex(uint32_t index, bool* selected,
                                             IMFStreamDescriptor** descriptor) = 0;
  virtual HRESULT SelectStream(uint32_t index) = 0;
  virtual HRESULT DeselectStream(uint32_t index) = 0;
  // A new descriptor with a copy of the attributes and the selection; the
  // stream descriptors are shared.
  virtual HRESULT Clone(IMFPresentationDescriptor** clone) = 0;
};

// The handler offers the `count` types given, the first one is not yet current.
HRESULT MFCreateStreamDescriptor(uint32_t stream_id, uint32_t count, IMFMediaType** media_types,
                                 IMFStreamDescriptor** descriptor);
// All streams start deselected.
HRESULT MFCreatePresentationDescriptor(uint32_t count, IMFStreamDescriptor** descriptors,
                                       IMFPresentationDescriptor** presentation);

}  // namespace vistrel
