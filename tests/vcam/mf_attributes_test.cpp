#include <gtest/gtest.h>

#include <cstring>

#include "platform/mf/mf.h"

namespace vistrel {
namespace {

constexpr GUID kKeyA = {0x11111111, 0x1111, 0x1111, {1, 1, 1, 1, 1, 1, 1, 1}};
constexpr GUID kKeyB = {0x22222222, 0x2222, 0x2222, {2, 2, 2, 2, 2, 2, 2, 2}};
constexpr GUID kKeyC = {0x33333333, 0x3333, 0x3333, {3, 3, 3, 3, 3, 3, 3, 3}};

ComPtr<IMFAttributes> NewStore() {
  ComPtr<IMFAttributes> store;
  EXPECT_EQ(MFCreateAttributes(store.ReleaseAndGetAddressOf(), 4), S_OK);
  return store;
}

TEST(GuidTest, FormatsUpperCaseAndParsesBack) {
  EXPECT_EQ(FormatGuid(CLSID_VistrelVirtualCamera), "{6B3A8F2E-4C1D-4E7A-9B52-3D8C0F1A7E64}");
  EXPECT_EQ(FormatGuid(SharedNameAttribute), "{9F3B2C71-5E0A-4D8B-A6C4-1E7F2B9D3A50}");
  EXPECT_EQ(ParseGuid("{9f3b2c71-5e0a-4d8b-a6c4-1e7f2b9d3a50}"), SharedNameAttribute);
  for (const char* bad : {"", "9F3B2C71-5E0A-4D8B-A6C4-1E7F2B9D3A50",
                          "{9F3B2C71-5E0A-4D8B-A6C4-1E7F2B9D3A5}", "{9F3B2C71-5E0A-4D8B-A6C4+1E7F2B9D3A50}",
                          "{9F3B2C71-5E0A-4D8B-A6C4-1E7F2B9D3A5G}"}) {
    EXPECT_FALSE(ParseGuid(bad).has_value()) << bad;
  }
  EXPECT_LT(kKeyA, kKeyB);
}

TEST(AttributesTest, TypedValuesAndTheirErrors) {
  auto store = NewStore();
  ASSERT_EQ(store->SetUINT32(kKeyA, 7), S_OK);
  ASSERT_EQ(store->SetString(kKeyB, "/Vistrel_1000_2"), S_OK);
  uint32_t u32 = 0;
  uint64_t u64 = 0;
  EXPECT_EQ(store->GetUINT32(kKeyA, &u32), S_OK);
  EXPECT_EQ(u32, 7u);
  EXPECT_EQ(store->GetUINT64(kKeyA, &u64), MF_E_INVALIDTYPE);
  EXPECT_EQ(store->GetUINT32(kKeyC, &u32), MF_E_ATTRIBUTENOTFOUND);
  EXPECT_EQ(store->SetItem(kKeyC, PropVariant::FromInt64(5)), MF_E_INVALIDTYPE);

  uint32_t length = 0;
  EXPECT_EQ(store->GetStringLength(kKeyB, &length), S_OK);
  EXPECT_EQ(length, 15u);
  char small[15];
  EXPECT_EQ(store->GetString(kKeyB, small, sizeof small, &length), MF_E_BUFFERTOOSMALL);
  char exact[16];
  EXPECT_EQ(store->GetString(kKeyB, exact, sizeof exact, &length), S_OK);
  EXPECT_STREQ(exact, "/Vistrel_1000_2");
  char* allocated = nullptr;
  EXPECT_EQ(store->GetAllocatedString(kKeyB, &allocated, &length), S_OK);
  EXPECT_STREQ(allocated, "/Vistrel_1000_2");
  CoTaskMemFree(allocated);
  EXPECT_EQ(store->GetAllocatedString(kKeyA, &allocated, &length), MF_E_INVALIDTYPE);
  EXPECT_EQ(allocated, nullptr);

  // Overwriting keeps the position; deleting closes the gap.
  ASSERT_EQ(store->SetDouble(kKeyA, 2.5), S_OK);
  GUID key{};
  PropVariant value;
  ASSERT_EQ(store->GetItemByIndex(0, &key, &value), S_OK);
  EXPECT_EQ(key, kKeyA);
  EXPECT_EQ(value.dblVal(), 2.5);
  EXPECT_EQ(store->GetItemByIndex(2, &key, &value), E_INVALIDARG);
  ASSERT_EQ(store->DeleteItem(kKeyA), S_OK);
  ASSERT_EQ(store->GetItemByIndex(0, &key, &value), S_OK);
  EXPECT_EQ(key, kKeyB);
}

TEST(AttributesTest, BlobsCopyInAndOut) {
  auto store = NewStore();
  const uint8_t bytes[5] = {1, 2, 3, 4, 5};
  ASSERT_EQ(store->SetBlob(kKeyA, bytes, sizeof bytes), S_OK);
  uint32_t size = 0;
  EXPECT_EQ(store->GetBlobSize(kKeyA, &size), S_OK);
  EXPECT_EQ(size, 5u);
  uint8_t out[5] = {};
  EXPECT_EQ(store->GetBlob(kKeyA, out, 4, &size), MF_E_BUFFERTOOSMALL);
  EXPECT_EQ(store->GetBlob(kKeyA, out, 5, &size), S_OK);
  EXPECT_EQ(std::memcmp(out, bytes, 5), 0);
  uint8_t* allocated = nullptr;
  EXPECT_EQ(store->GetAllocatedBlob(kKeyA, &allocated, &size), S_OK);
  EXPECT_EQ(std::memcmp(allocated, bytes, 5), 0);
  CoTaskMemFree(allocated);
  ASSERT_EQ(store->SetBlob(kKeyB, nullptr, 0), S_OK);
  EXPECT_EQ(store->GetBlobSize(kKeyB, &size), S_OK);
  EXPECT_EQ(size, 0u);
}

TEST(AttributesTest, UnknownValuesAreQueriedAndHeld) {
  auto store = NewStore();
  {
    auto object = NewStore();
    ASSERT_EQ(store->SetUnknown(kKeyA, object.Get()), S_OK);
  }
  ComPtr<IMFAttributes> back;
  EXPECT_EQ(store->GetUnknown(kKeyA, IID_IMFAttributes, back.PutVoid()), S_OK);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->SetUINT32(kKeyB, 1), S_OK);
  ComPtr<IMFSample> wrong;
  EXPECT_EQ(store->GetUnknown(kKeyA, IID_IMFSample, wrong.PutVoid()), E_NOINTERFACE);
}

TEST(AttributesTest, CompareByMatchType) {
  auto small = NewStore();
  auto large = NewStore();
  small->SetUINT32(kKeyA, 1);
  large->SetUINT32(kKeyA, 1);
  large->SetUINT32(kKeyB, 2);
  struct Case {
    MF_ATTRIBUTES_MATCH_TYPE type;
    bool expected;
  };
  for (const Case& c : {Case{MF_ATTRIBUTES_MATCH_OUR_ITEMS, true},
                        Case{MF_ATTRIBUTES_MATCH_THEIR_ITEMS, false},
                        Case{MF_ATTRIBUTES_MATCH_ALL_ITEMS, false},
                        Case{MF_ATTRIBUTES_MATCH_INTERSECTION, true},
                        Case{MF_ATTRIBUTES_MATCH_SMALLER, true}}) {
    bool result = !c.expected;
    EXPECT_EQ(small->Compare(large.Get(), c.type, &result), S_OK);
    EXPECT_EQ(result, c.expected) << c.type;
  }
  // A differing common value fails every kind; a store equals itself.
  large->SetUINT32(kKeyA, 9);
  bool result = true;
  small->Compare(large.Get(), MF_ATTRIBUTES_MATCH_INTERSECTION, &result);
  EXPECT_FALSE(result);
  large->Compare(large.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &result);
  EXPECT_TRUE(result);
  EXPECT_EQ(large->CompareItem(kKeyA, PropVariant::FromUInt32(9), &result), S_OK);
  EXPECT_TRUE(result);
  large->CompareItem(kKeyA, PropVariant::FromUInt64(9), &result);
  EXPECT_FALSE(result);
}

TEST(AttributesTest, CopyAllItemsReplacesTheDestination) {
  auto from = NewStore();
  auto to = NewStore();
  from->SetString(kKeyA, "x");
  from->SetGUID(kKeyB, MFVideoFormat_NV12);
  to->SetUINT32(kKeyC, 3);
  ASSERT_EQ(from->CopyAllItems(to.Get()), S_OK);
  uint32_t count = 0;
  to->GetCount(&count);
  EXPECT_EQ(count, 2u);
  bool same = false;
  to->Compare(from.Get(), MF_ATTRIBUTES_MATCH_ALL_ITEMS, &same);
  EXPECT_TRUE(same);
  // A copy onto itself keeps the items (and does not deadlock).
  ASSERT_EQ(from->CopyAllItems(from.Get()), S_OK);
  from->GetCount(&count);
  EXPECT_EQ(count, 2u);
}

TEST(DescriptorsTest, CloneKeepsSelectionAndSharesStreams) {
  ComPtr<IMFMediaType> type;
  ASSERT_EQ(MFCreateMediaType(type.ReleaseAndGetAddressOf()), S_OK);
  type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
  IMFMediaType* types[] = {type.Get()};
  ComPtr<IMFStreamDescriptor> stream;
  ASSERT_EQ(MFCreateStreamDescriptor(3, 1, types, stream.ReleaseAndGetAddressOf()), S_OK);
  IMFStreamDescriptor* streams[] = {stream.Get()};
  ComPtr<IMFPresentationDescriptor> pd;
  ASSERT_EQ(MFCreatePresentationDescriptor(1, streams, pd.ReleaseAndGetAddressOf()), S_OK);
  bool selected = true;
  ComPtr<IMFStreamDescriptor> got;
  ASSERT_EQ(pd->GetStreamDescriptorByIndex(0, &selected, got.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_FALSE(selected);
  pd->SelectStream(0);
  ComPtr<IMFPresentationDescriptor> clone;
  ASSERT_EQ(pd->Clone(clone.ReleaseAndGetAddressOf()), S_OK);
  pd->DeselectStream(0);
  ASSERT_EQ(clone->GetStreamDescriptorByIndex(0, &selected, got.ReleaseAndGetAddressOf()), S_OK);
  EXPECT_TRUE(selected);
  EXPECT_EQ(got.Get(), stream.Get());
  EXPECT_EQ(pd->SelectStream(1), E_INVALIDARG);
  uint32_t id = 0;
  got->GetStreamIdentifier(&id);
  EXPECT_EQ(id, 3u);
}

}  // namespace
}  // namespace vistrel
