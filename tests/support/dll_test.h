// The fixture of the tests that drive the DLL through its exports.
#pragma once

#include <gtest/gtest.h>

#include "test_support.h"

namespace tqtest {

// A test with the DLL loaded, its log captured and a free port picked. The
// service is stopped and the capture detached before the DLL is let go.
class DllTest : public ::testing::Test {
 public:
  void SetUp() override {
    ASSERT_TRUE(dll.Load());
    dll.SetLog(&log, &LogCapture::Callback, 1);
  }
  void TearDown() override {
    if (dll.module == nullptr) return;
    dll.UnInit();
    dll.SetLog(nullptr, nullptr, -1);
    dll.Unload();
  }

  WinsockSession ws;
  TqProxyDll dll;
  LogCapture log;
  const uint16_t port = FreeUdpPort();
};

}  // namespace tqtest
