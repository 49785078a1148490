#include "platform/UIKit/Device.h"

#include <gtest/gtest.h>
#include <sys/utsname.h>

namespace {

using platform::Device;

TEST(Device, AnswersThePcModelAndTheKernelsNames) {
  struct utsname names {};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(Device::model(), "PC");
  EXPECT_EQ(Device::systemName(), "Linux");
  EXPECT_EQ(Device::systemVersion(), names.release);
  EXPECT_EQ(Device::machine(), names.machine);
  EXPECT_FALSE(Device::machine().empty());
}

}  // namespace
