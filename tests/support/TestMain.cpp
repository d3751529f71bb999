#include <gmock/gmock.h>

#include "TempHome.h"

// Every test process runs in a temporary home, so that nothing a test does can reach the
// real user's settings, associations or files, even by mistake.
int main(int argc, char** argv) {
  TestSupport::TempHome home;
  home.applyToThisProcess();
  testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
