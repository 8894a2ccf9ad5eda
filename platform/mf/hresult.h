// Result codes of the COM and media-object model, with the platform's numbers,
// so that log lines and the camera host see the values camera code expects.
#pragma once

#include <cstdint>

namespace vistrel {

using HRESULT = int32_t;

constexpr HRESULT MakeHresult(uint32_t value) { return static_cast<HRESULT>(value); }

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }

// 0x80070000 combined with the low 16 bits of a system error (errno here);
// 0 stays S_OK.
constexpr HRESULT HRESULT_FROM_WIN32(uint32_t error) {
  return error == 0 ? 0 : MakeHresult(0x80070000u | (error & 0xFFFFu));
}

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;

constexpr HRESULT E_NOTIMPL = MakeHresult(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHresult(0x80004002);
constexpr HRESULT E_POINTER = MakeHresult(0x80004003);
constexpr HRESULT E_ABORT = MakeHresult(0x80004004);
constexpr HRESULT E_FAIL = MakeHresult(0x80004005);
constexpr HRESULT E_UNEXPECTED = MakeHresult(0x8000FFFF);
constexpr HRESULT E_INVALIDARG = MakeHresult(0x80070057);
constexpr HRESULT E_OUTOFMEMORY = MakeHresult(0x8007000E);

constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHresult(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = MakeHresult(0x80040111);

// System errors that the registration and the host turn into HRESULTs.
constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
constexpr uint32_t ERROR_SET_NOT_FOUND = 1170;  // 0x492

constexpr HRESULT MF_E_PLATFORM_NOT_INITIALIZED = MakeHresult(0xC00D36B0);
constexpr HRESULT MF_E_BUFFERTOOSMALL = MakeHresult(0xC00D36B1);
constexpr HRESULT MF_E_INVALIDREQUEST = MakeHresult(0xC00D36B2);
constexpr HRESULT MF_E_INVALIDSTREAMNUMBER = MakeHresult(0xC00D36B3);
constexpr HRESULT MF_E_INVALIDMEDIATYPE = MakeHresult(0xC00D36B4);
constexpr HRESULT MF_E_NOT_INITIALIZED = MakeHresult(0xC00D36B6);
constexpr HRESULT MF_E_NO_MORE_TYPES = MakeHresult(0xC00D36B9);
constexpr HRESULT MF_E_UNSUPPORTED_SERVICE = MakeHresult(0xC00D36BA);
constexpr HRESULT MF_E_UNEXPECTED = MakeHresult(0xC00D36BB);
constexpr HRESULT MF_E_INVALIDTYPE = MakeHresult(0xC00D36BD);
constexpr HRESULT MF_E_INVALIDINDEX = MakeHresult(0xC00D36BF);
constexpr HRESULT MF_E_UNSUPPORTED_TIME_FORMAT = MakeHresult(0xC00D36C5);
constexpr HRESULT MF_E_NOT_FOUND = MakeHresult(0xC00D36D5);
constexpr HRESULT MF_E_MULTIPLE_BEGIN = MakeHresult(0xC00D36D9);
constexpr HRESULT MF_E_MULTIPLE_SUBSCRIBERS = MakeHresult(0xC00D36DA);
constexpr HRESULT MF_E_ATTRIBUTENOTFOUND = MakeHresult(0xC00D36E6);
constexpr HRESULT MF_E_NO_EVENTS_AVAILABLE = MakeHresult(0xC00D3E80);
constexpr HRESULT MF_E_INVALID_STATE_TRANSITION = MakeHresult(0xC00D3E82);
constexpr HRESULT MF_E_SHUTDOWN = MakeHresult(0xC00D3E85);
constexpr HRESULT MF_E_MEDIA_SOURCE_WRONGSTATE = MakeHresult(0xC00D3E9B);
// Our pool's "no free sample"; the value is ours.
constexpr HRESULT MF_E_SAMPLEALLOCATOR_EMPTY = MakeHresult(0xC00D4A3E);

}  // namespace vistrel
