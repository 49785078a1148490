#include "platform/UIKit/Screen.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>
#include <vector>

#include "support/TestEnvironment.h"

namespace {

using platform::Rect;
using platform::Screen;

TEST(Screen, DefaultsToALandscapeLaptopWithoutNativeBounds) {
  testing_support::environment().unset("HALDEN_SCREEN_SIZE");
  EXPECT_EQ(Screen::bounds(), (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(Screen::nativeBounds(), std::nullopt);
}

TEST(Screen, TakesTheConfiguredSizeForPointsAndPortraitPixels) {
  testing_support::environment().set("HALDEN_SCREEN_SIZE", "1920x1080");
  EXPECT_EQ(Screen::bounds(), (Rect{0, 0, 1920, 1080}));
  EXPECT_EQ(Screen::nativeBounds(), (Rect{0, 0, 1080, 1920}));
}

TEST(Screen, KeepsAPortraitConfiguredSizeAsItIs) {
  testing_support::environment().set("HALDEN_SCREEN_SIZE", "1170X2532");
  EXPECT_EQ(Screen::bounds(), (Rect{0, 0, 1170, 2532}));
  EXPECT_EQ(Screen::nativeBounds(), (Rect{0, 0, 1170, 2532}));
}

TEST(Screen, IgnoresAGarbageConfiguredSize) {
  testing_support::environment().set("HALDEN_SCREEN_SIZE", "big");
  EXPECT_EQ(Screen::bounds(), (Rect{0, 0, 1280, 800}));
  EXPECT_EQ(Screen::nativeBounds(), std::nullopt);
}

TEST(Screen, ParsesOnlyTwoWholePositiveDimensions) {
  EXPECT_EQ(Screen::parseSize("800x600"), (Rect{0, 0, 800, 600}));
  EXPECT_EQ(Screen::parseSize(" 800 x 600 "), (Rect{0, 0, 800, 600}));
  EXPECT_EQ(Screen::parseSize("1x100000"), (Rect{0, 0, 1, 100000}));
  for (const char* bad : {"", "x", "800", "800x", "x600", "800x600x2", "0x600", "800x0", "-800x600",
                          "+800x600", "800.5x600", "1e3x600", "800x600px", "100001x600",
                          "99999999999999999999x1", "800*600", "800 600"}) {
    EXPECT_EQ(Screen::parseSize(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(Screen, SetBoundsOverridesTheEnvironment) {
  testing_support::environment().set("HALDEN_SCREEN_SIZE", "1920x1080");
  Screen::setBounds({0, 0, 390, 844}, Rect{0, 0, 1170, 2532});
  EXPECT_EQ(Screen::bounds(), (Rect{0, 0, 390, 844}));
  EXPECT_EQ(Screen::nativeBounds(), (Rect{0, 0, 1170, 2532}));
  Screen::setBounds({0, 0, 1024, 768}, std::nullopt);
  EXPECT_EQ(Screen::bounds(), (Rect{0, 0, 1024, 768}));
  EXPECT_EQ(Screen::nativeBounds(), std::nullopt);
}

TEST(Screen, IsSafeFromManyThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 500; ++i) {
        if (t == 0) Screen::setBounds({0, 0, double(100 + i), 50}, std::nullopt);
        EXPECT_GT(Screen::bounds().width, 0);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
}

}  // namespace
