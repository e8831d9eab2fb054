#include "common/device_array.h"

#include <gtest/gtest.h>

#include "common/testing/test_support.h"

namespace talvek {
namespace {

using testing_support::Filled;
using testing_support::SameBytes;

TEST(DeviceArrayTest, GrowsBySizeOver8ClampedTo4And1024) {
  DeviceArray devices;
  devices.Add(Filled<DeviceRecord>(1));
  EXPECT_EQ(devices.GetCapacity(), 4u);
  while (devices.GetSize() < 5)
    devices.Add(Filled<DeviceRecord>(1));
  EXPECT_EQ(devices.GetCapacity(), 8u);

  devices.SetSize(100);
  devices.Add(Filled<DeviceRecord>(1));
  EXPECT_EQ(devices.GetCapacity(), 112u);  // 100 + 100/8

  devices.SetSize(9000);
  devices.Add(Filled<DeviceRecord>(1));
  EXPECT_EQ(devices.GetCapacity(), 10024u);  // 9000 + 1024, not 9000/8
}

TEST(DeviceArrayTest, NewSlotsAreZeroEvenWhereOldRecordsLay) {
  DeviceArray devices;
  for (int i = 0; i < 3; ++i)
    devices.Add(Filled<DeviceRecord>(0xEE));
  devices.RemoveAt(1, 2);
  devices.SetSize(3);
  const DeviceRecord zero = Filled<DeviceRecord>(0);
  EXPECT_TRUE(SameBytes(devices[1], zero));
  EXPECT_TRUE(SameBytes(devices[2], zero));

  devices.InsertAt(5, Filled<DeviceRecord>(0xEE));
  ASSERT_EQ(devices.GetSize(), 6u);
  EXPECT_TRUE(SameBytes(devices[4], zero));
  EXPECT_TRUE(SameBytes(devices[5], Filled<DeviceRecord>(0xEE)));
}

}  // namespace
}  // namespace talvek
