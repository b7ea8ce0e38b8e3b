#include "platform/shared_memory.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "platform/file.h"

namespace platform {
namespace {

std::string uniqueName(const char* tag) {
  return std::string("TAGMEND_TEST_") + tag + "_" + std::to_string(::getpid()) + "_" +
         std::to_string(currentThreadId());
}

bool objectExists(const std::string& name) { return fileExists(("/dev/shm/" + name).c_str()); }

TEST(SharedMemoryTest, NewObjectIsZeroFilledAndPrivate) {
  const std::string name = uniqueName("new");
  auto memory = createSharedMemory(name.c_str(), 608);
  ASSERT_NE(memory, nullptr);
  ASSERT_NE(memory->view(), nullptr);
  const auto* bytes = static_cast<const unsigned char*>(memory->view());
  for (int i = 0; i < 608; ++i) ASSERT_EQ(bytes[i], 0) << i;
  struct stat st;
  ASSERT_EQ(::stat(("/dev/shm/" + name).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(st.st_size, 608);
}

TEST(SharedMemoryTest, PeerSeesWritesBothWays) {
  const std::string name = uniqueName("peer");
  auto creator = createSharedMemory(name.c_str(), 608);
  ASSERT_NE(creator, nullptr);
  std::memcpy(creator->view(), "job", 4);
  auto peer = openSharedMemory(name.c_str(), 608);
  ASSERT_NE(peer, nullptr);
  EXPECT_STREQ(static_cast<const char*>(peer->view()), "job");
  static_cast<char*>(peer->view())[600] = 7;
  EXPECT_EQ(static_cast<const char*>(creator->view())[600], 7);
}

TEST(SharedMemoryTest, ClosingKeepsViewAndCreatorRemovesName) {
  const std::string name = uniqueName("close");
  auto creator = createSharedMemory(name.c_str(), 608);
  ASSERT_NE(creator, nullptr);
  auto peer = openSharedMemory(name.c_str(), 608);
  ASSERT_NE(peer, nullptr);
  peer->close();
  EXPECT_TRUE(objectExists(name));  // the peer's close leaves the name alone
  char* view = static_cast<char*>(creator->view());
  creator->close();
  EXPECT_FALSE(objectExists(name));
  view[10] = 'x';  // still mapped
  EXPECT_EQ(view[10], 'x');
  EXPECT_EQ(openSharedMemory(name.c_str(), 608), nullptr);
}

TEST(SharedMemoryTest, ExistingObjectIsOpenedWithItsContents) {
  const std::string name = uniqueName("existing");
  auto first = createSharedMemory(name.c_str(), 608);
  ASSERT_NE(first, nullptr);
  static_cast<char*>(first->view())[544] = 42;
  auto second = createSharedMemory(name.c_str(), 608);
  ASSERT_NE(second, nullptr);
  ASSERT_NE(second->view(), nullptr);
  EXPECT_EQ(static_cast<const char*>(second->view())[544], 42);
}

TEST(SharedMemoryTest, OpenFailsForMissingOrTooSmallObject) {
  const std::string name = uniqueName("small");
  EXPECT_EQ(openSharedMemory(name.c_str(), 608), nullptr);
  auto small = createSharedMemory(name.c_str(), 100);
  ASSERT_NE(small, nullptr);
  EXPECT_EQ(openSharedMemory(name.c_str(), 608), nullptr);
  // Creating under the name of a smaller object gives a handle without a view.
  auto again = createSharedMemory(name.c_str(), 608);
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->view(), nullptr);
}

TEST(SharedMemoryTest, ObjectOfAnotherUserIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give an object away";
  const std::string name = uniqueName("foreign");
  int fd = ::shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0666);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, 608), 0);
  ASSERT_EQ(::fchown(fd, 65534, 65534), 0);
  ::close(fd);
  EXPECT_EQ(createSharedMemory(name.c_str(), 608), nullptr);
  EXPECT_EQ(openSharedMemory(name.c_str(), 608), nullptr);
  EXPECT_TRUE(objectExists(name));  // refused, not removed
  ::shm_unlink(("/" + name).c_str());
}

}  // namespace
}  // namespace platform
