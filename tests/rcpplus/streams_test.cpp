#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "rcpplus/rcpplus.h"

using ::testing::ElementsAre;

namespace rcpplus {
namespace {

std::vector<unsigned char> Bytes(const RcpOutputStream& out) {
  return std::vector<unsigned char>(out.data(), out.data() + out.size());
}

TEST(RcpOutputStream, KeepsValuesInWriteOrder) {
  RcpOutputStream out;
  out.writeOctet(1);
  out.writeOctet(0);
  out.writeOctet(1);
  EXPECT_THAT(Bytes(out), ElementsAre(1, 0, 1));
}

TEST(RcpOutputStream, WritesULongAsLow32BitsBigEndian) {
  RcpOutputStream out;
  out.writeULong(0x0102030405060708UL);
  out.writeULong(24);
  EXPECT_THAT(Bytes(out), ElementsAre(0x05, 0x06, 0x07, 0x08,  // low 32 bits only
                                      0x00, 0x00, 0x00, 0x18));
}

TEST(RcpInputStream, ReadsBigEndianValuesAndCountsUnreadBytes) {
  const unsigned char bytes[] = {0xAB, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF, 0x55};
  RcpInputStream in(bytes, sizeof bytes);
  EXPECT_EQ(in.available(), 8);
  EXPECT_EQ(in.readOctet(), 0xAB);
  EXPECT_EQ(in.readUShort(), 0x1234);
  EXPECT_EQ(in.readULong(), 0xDEADBEEFUL);
  EXPECT_EQ(in.available(), 1);
  in.skip(1);
  EXPECT_EQ(in.available(), 0);
}

TEST(RcpInputStream, ReadingPastEndThrowsLibraryOwnedException) {
  const unsigned char bytes[] = {0x01};
  RcpInputStream in(bytes, sizeof bytes);
  in.readOctet();
  Exception* caught = nullptr;
  try {
    in.readOctet();
  } catch (Exception* e) {
    caught = e;
  }
  ASSERT_NE(caught, nullptr);
  EXPECT_NE(caught->code(), 0u);
  ASSERT_NE(caught->what(), nullptr);
  EXPECT_FALSE(std::string(caught->what()).empty());
}

TEST(RcpInputStream, PartialReadPastEndThrowsAndConsumesNothing) {
  const unsigned char bytes[] = {0x01, 0x02, 0x03};
  RcpInputStream in(bytes, sizeof bytes);
  EXPECT_THROW(in.readULong(), Exception*);
  EXPECT_EQ(in.available(), 3);
  in.readOctet();
  EXPECT_THROW(in.readULong(), Exception*);
  EXPECT_EQ(in.available(), 2);
  EXPECT_EQ(in.readUShort(), 0x0203);
}

TEST(RcpInputStream, SkipPastEndOrBackwardsThrows) {
  const unsigned char bytes[] = {1, 2, 3, 4};
  RcpInputStream in(bytes, sizeof bytes);
  EXPECT_THROW(in.skip(5), Exception*);
  EXPECT_THROW(in.skip(-1), Exception*);
  EXPECT_EQ(in.available(), 4);
  in.skip(4);
  EXPECT_EQ(in.available(), 0);
}

TEST(RcpInputStream, EmptyStreamThrowsOnAnyRead) {
  RcpInputStream in;
  EXPECT_EQ(in.available(), 0);
  EXPECT_THROW(in.readOctet(), Exception*);
  EXPECT_THROW(in.readUShort(), Exception*);
  EXPECT_THROW(in.readULong(), Exception*);
}

TEST(RcpInputStream, ExceptionsStayValidWhileCallerHandlesTheNext) {
  RcpInputStream in;
  Exception* first = nullptr;
  Exception* second = nullptr;
  try {
    in.readOctet();
  } catch (Exception* e) {
    first = e;
  }
  try {
    in.readULong();
  } catch (Exception* e) {
    second = e;
  }
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_NE(std::string(first->what()), std::string(second->what()));
}

}  // namespace
}  // namespace rcpplus
