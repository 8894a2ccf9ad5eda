#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/registry.h"
#include "tests/support/registry_values.h"
#include "tests/vcam/vcam_test_util.h"

namespace vistrel::test {
namespace {

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t pos = text.find(needle); pos != std::string::npos; pos = text.find(needle, pos + 1)) {
    ++n;
  }
  return n;
}

TEST(VcamModuleTest, ClassFactoryAndUnknownClass) {
  const auto& lib = Library();
  ComPtr<IClassFactory> factory;
  constexpr GUID kOther = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
  EXPECT_EQ(lib.get_class_object(kOther, IID_IClassFactory, factory.PutVoid()),
            CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_FALSE(factory);
  ASSERT_EQ(lib.get_class_object(CLSID_VistrelVirtualCamera, IID_IClassFactory, factory.PutVoid()),
            S_OK);
  ComPtr<IClassFactory> again;
  lib.get_class_object(CLSID_VistrelVirtualCamera, IID_IUnknown, again.PutVoid());
  EXPECT_EQ(again.Get(), factory.Get());  // cached

  ComPtr<IMFActivate> activator;
  EXPECT_EQ(factory->CreateInstance(factory.Get(), IID_IMFActivate, activator.PutVoid()),
            CLASS_E_NOAGGREGATION);
  ASSERT_EQ(factory->CreateInstance(nullptr, IID_IMFActivate, activator.PutVoid()), S_OK);
  ComPtr<IMFAttributes> attributes;
  ASSERT_EQ(activator.As(&attributes), S_OK);
  EXPECT_EQ(static_cast<void*>(attributes.Get()), static_cast<void*>(activator.Get()));
  ComPtr<IMFMediaSource> not_a_source;
  EXPECT_EQ(activator.As(&not_a_source), E_NOINTERFACE);
  GUID clsid{};
  EXPECT_EQ(activator->GetGUID(MFT_TRANSFORM_CLSID_Attribute, &clsid), S_OK);
  EXPECT_EQ(clsid, CLSID_VistrelVirtualCamera);
}

TEST(VcamModuleTest, CanUnloadOnlyWhenNoObjectLives) {
  VcamEnvironment env;
  const auto& lib = Library();
  ASSERT_EQ(lib.can_unload_now(), S_OK);
  {
    auto activator = CreateActivator();
    EXPECT_EQ(lib.can_unload_now(), S_FALSE);
    auto source = ActivateSource(activator.Get(), env.exchange_name());
    auto stream = StartSource(source.Get());
    ASSERT_TRUE(stream);
    EXPECT_EQ(activator->ShutdownObject(), S_OK);
    EXPECT_EQ(lib.can_unload_now(), S_FALSE);
  }
  EXPECT_EQ(lib.can_unload_now(), S_OK);

  ComPtr<IClassFactory> factory;
  lib.get_class_object(CLSID_VistrelVirtualCamera, IID_IClassFactory, factory.PutVoid());
  factory->LockServer(true);
  EXPECT_EQ(lib.can_unload_now(), S_FALSE);
  factory->LockServer(false);
  EXPECT_EQ(lib.can_unload_now(), S_OK);

  // An unlock without a lock neither wraps the count nor takes a live object's.
  factory->LockServer(false);
  EXPECT_EQ(lib.can_unload_now(), S_OK);
  {
    auto activator = CreateActivator();
    factory->LockServer(false);
    EXPECT_EQ(lib.can_unload_now(), S_FALSE);
  }
  EXPECT_EQ(lib.can_unload_now(), S_OK);
}

// One camera's life through the exports: registration, activation, start, one
// sample, shutdown. Steps after a failed one are skipped; nothing is asserted,
// so that no allocation of the test's own comes between.
void RunCameraOnce(IMFActivate* activator, const std::string& name) {
  const auto& lib = Library();
  ComPtr<IClassFactory> factory;
  if (FAILED(
          lib.get_class_object(CLSID_VistrelVirtualCamera, IID_IClassFactory, factory.PutVoid())) ||
      FAILED(lib.register_server())) {
    return;
  }
  ComPtr<IMFMediaSourceEx> source;
  ComPtr<IMFPresentationDescriptor> pd;
  ComPtr<IMFMediaEvent> event;
  PropVariant value;
  ComPtr<IMFMediaStream2> stream;
  if (SUCCEEDED(activator->SetString(SharedNameAttribute, name.c_str())) &&
      SUCCEEDED(activator->ActivateObject(IID_IMFMediaSourceEx, source.PutVoid())) &&
      SUCCEEDED(source->CreatePresentationDescriptor(pd.GetAddressOf())) &&
      SUCCEEDED(source->Start(pd.Get(), nullptr, nullptr)) &&
      SUCCEEDED(source->GetEvent(MF_EVENT_FLAG_NO_WAIT, event.GetAddressOf())) &&
      SUCCEEDED(event->GetValue(&value)) && value.punkVal() &&
      SUCCEEDED(value.punkVal()->QueryInterface(IID_IMFMediaStream2, stream.PutVoid()))) {
    (void)stream->RequestSample(nullptr);
  }
  activator->ShutdownObject();
}

// Memory runs out at each allocation of that life in turn: every call answers
// with an HRESULT, no exception reaches the caller, and no object is left.
TEST(VcamModuleTest, RunningOutOfMemoryNeverThrowsAcrossTheLibrary) {
  VcamEnvironment env;
  auto activator = CreateActivator();
  ASSERT_TRUE(activator);
  // Some thousand log lines would go to standard error.
  const int saved_stderr = ::dup(STDERR_FILENO);
  const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null_fd, STDERR_FILENO);
  std::vector<long> escaped;
  long nth = 0;
  for (bool failed = true; failed && nth < 100'000; ++nth) {
    try {
      FailingAllocation failing(nth);
      RunCameraOnce(activator.Get(), env.exchange_name());
      failed = failing.failed();
    } catch (...) {
      escaped.push_back(nth);
    }
  }
  ::dup2(saved_stderr, STDERR_FILENO);
  ::close(saved_stderr);
  ::close(null_fd);
  EXPECT_GT(nth, 50) << "the camera's life did not allocate";
  EXPECT_LT(nth, 100'000);
  EXPECT_TRUE(escaped.empty()) << escaped.size() << " exceptions escaped, the first at allocation "
                               << escaped.front();
  activator.Reset();
  EXPECT_EQ(Library().can_unload_now(), S_OK);
}

TEST(VcamModuleTest, SameSourceUntilShutdownThenANewOne) {
  VcamEnvironment env;
  auto activator = CreateActivator();
  auto source = ActivateSource(activator.Get(), env.exchange_name());
  ASSERT_TRUE(source);
  ComPtr<IMFMediaSource> plain;
  ASSERT_EQ(activator->ActivateObject(IID_IMFMediaSource, plain.PutVoid()), S_OK);
  ComPtr<IUnknown> a, b;
  source.As(&a);
  plain.As(&b);
  EXPECT_EQ(a.Get(), b.Get());
  ComPtr<IMFAttributes> wrong;
  EXPECT_EQ(activator->ActivateObject(IID_IMFAttributes, wrong.PutVoid()), E_NOINTERFACE);
  EXPECT_EQ(activator->ActivateObject(IID_IMFMediaSource, nullptr), E_POINTER);

  ASSERT_EQ(activator->ShutdownObject(), S_OK);
  uint32_t characteristics = 0;
  EXPECT_EQ(source->GetCharacteristics(&characteristics), MF_E_SHUTDOWN);
  ComPtr<IMFMediaSource> fresh;
  ASSERT_EQ(activator->ActivateObject(IID_IMFMediaSource, fresh.PutVoid()), S_OK);
  ComPtr<IUnknown> c;
  fresh.As(&c);
  EXPECT_NE(c.Get(), a.Get());
  EXPECT_EQ(fresh->GetCharacteristics(&characteristics), S_OK);
  EXPECT_EQ(characteristics, MFMEDIASOURCE_IS_LIVE);
  // Detach lets go without shutting the source down.
  ASSERT_EQ(activator->DetachObject(), S_OK);
  EXPECT_EQ(fresh->GetCharacteristics(&characteristics), S_OK);
  fresh->Shutdown();
  EXPECT_EQ(fresh->Shutdown(), MF_E_SHUTDOWN);
}

TEST(VcamModuleTest, ShutdownObjectWithoutActivation) {
  auto activator = CreateActivator();
  EXPECT_EQ(activator->ShutdownObject(), S_OK);
  EXPECT_EQ(activator->DetachObject(), S_OK);
}

TEST(VcamModuleTest, FailedInitializationIsLoggedAndRetried) {
  VcamEnvironment env;
  auto activator = CreateActivator();
  // The name must be a string; a number cannot be read as one.
  ASSERT_EQ(activator->SetUINT32(SharedNameAttribute, 5), S_OK);
  ComPtr<IMFMediaSource> source;
  EXPECT_EQ(activator->ActivateObject(IID_IMFMediaSource, source.PutVoid()), MF_E_INVALIDTYPE);
  EXPECT_FALSE(source);
  EXPECT_NE(env.LogText().find("Activator: source initialization failed 0xC00D36BD\n"),
            std::string::npos)
      << env.LogText();
  ASSERT_EQ(activator->SetString(SharedNameAttribute, env.exchange_name().c_str()), S_OK);
  ASSERT_EQ(activator->ActivateObject(IID_IMFMediaSource, source.PutVoid()), S_OK);
  const std::string log = env.LogText();
  EXPECT_NE(log.find("Source: 2 attributes, shared name " + env.exchange_name()),
            std::string::npos)
      << log;
  EXPECT_EQ(Count(log, "Source: initialized"), 1u);
  activator->ShutdownObject();
}

TEST(VcamModuleTest, MissingNameIsLoggedAsMissing) {
  VcamEnvironment env;
  auto activator = CreateActivator();
  ComPtr<IMFMediaSource> source;
  ASSERT_EQ(activator->ActivateObject(IID_IMFMediaSource, source.PutVoid()), S_OK);
  EXPECT_NE(env.LogText().find("Source: 1 attributes, shared name (missing)"), std::string::npos);
  activator->ShutdownObject();
}

TEST(VcamModuleTest, LogLinesHaveTimePidAndMessage) {
  VcamEnvironment env;
  auto activator = CreateActivator();
  ComPtr<IMFMediaSource> source;
  activator->ActivateObject(IID_IMFMediaSource, source.PutVoid());
  activator->ShutdownObject();
  const std::string log = env.LogText();
  const std::string pid = "[" + std::to_string(::getpid()) + "] ";
  ASSERT_GE(log.size(), 13u);
  EXPECT_EQ(log[2], ':');
  EXPECT_EQ(log[5], ':');
  EXPECT_EQ(log[8], '.');
  EXPECT_EQ(log.compare(12, 1 + pid.size(), " " + pid), 0) << log;
  EXPECT_NE(log.find(pid + "Source: shut down\n"), std::string::npos);
}

TEST(VcamModuleTest, RegisterAndUnregister) {
  VcamEnvironment env;
  const auto& lib = Library();
  const std::string key = "SOFTWARE\\Classes\\CLSID\\{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}";
  EXPECT_EQ(lib.unregister_server(), S_OK);  // no key yet
  ASSERT_EQ(lib.register_server(), S_OK);
  std::string value;
  ASSERT_EQ(test::ReadValue(key, "", value), 0);
  EXPECT_EQ(value, "Orlith Cam virtual camera");
  ASSERT_EQ(test::ReadValue(key + "\\InprocServer32", "", value), 0);
  EXPECT_TRUE(std::filesystem::equivalent(value, VCAM_LIBRARY_PATH)) << value;
  ASSERT_EQ(test::ReadValue(key + "\\InprocServer32", "ThreadingModel", value), 0);
  EXPECT_EQ(value, "Both");
  EXPECT_EQ(lib.unregister_server(), S_OK);
  EXPECT_NE(OpenKey(key).code(), 0);
  EXPECT_EQ(lib.unregister_server(), S_OK);
}

TEST(VcamModuleTest, RegisterReportsARegistryFailure) {
  VcamEnvironment env;
  // A file where the root folder should be: keys cannot be made below it.
  const auto root = env.registry_root() / "blocked";
  { std::ofstream(root) << "x"; }
  ::setenv("VSTL_REGISTRY_ROOT", root.c_str(), 1);
  const HRESULT hr = Library().register_server();
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(static_cast<uint32_t>(hr) & 0xFFFF0000u, 0x80070000u);
}

}  // namespace
}  // namespace vistrel::test
