#include <gtest/gtest.h>
#include "serial/SerialChannel.h"
#include "tests/support/PtyPeer.h"
TEST(Smoke, Exchange) {
  PtyPeer peer; peer.ExportAs(1);
  SerialChannel ch; ch.SelectPort(1); ch.SelectBaudRate(115200);
  ASSERT_EQ(ch.Open(8,0,0), 0);
  const uint8_t f[6]={0x55,0x3A,0,0,0,0};
  ASSERT_EQ(ch.Send(f,6),0);
  EXPECT_EQ(peer.ReadExactly(6,1000), Bytes(f,f+6));
  peer.Write({0x53,0x3A,0,0,0,0});
  uint8_t b[6]; EXPECT_EQ(ch.WaitAndRead(b,6,2000),0);
  EXPECT_EQ(peer.Line().rate, 115200u);
}
