// The receive loop parses and dispatches lines in fixed buffers: the
// program's own code makes no heap allocation per event line. This binary
// replaces the C library's malloc, calloc, realloc and free (forwarding to
// glibc's own) and the global operator new and delete, and counts every call
// made while counting is on, by any code in the process, the C library's
// inner calls included.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "core/chat_connection.h"
#include "tests/test_support.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};  // malloc, calloc, realloc and aligned new
std::atomic<long> releases{0};     // free of a non-null pointer
std::atomic<long> newCalls{0};     // operator new of every kind (also in allocations)

void Note(std::atomic<long>& counter) {
  if (counting.load(std::memory_order_relaxed)) counter.fetch_add(1, std::memory_order_relaxed);
}

void* CountedNew(std::size_t size) {
  Note(newCalls);
  return std::malloc(size == 0 ? 1 : size);
}

void* CountedAlignedNew(std::size_t size, std::align_val_t alignment) {
  Note(newCalls);
  Note(allocations);
  void* pointer = nullptr;
  std::size_t align = static_cast<std::size_t>(alignment);
  if (align < sizeof(void*)) align = sizeof(void*);
  return posix_memalign(&pointer, align, size == 0 ? 1 : size) == 0 ? pointer : nullptr;
}

}  // namespace

extern "C" void* malloc(std::size_t size) noexcept {
  Note(allocations);
  return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) noexcept {
  Note(allocations);
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, std::size_t size) noexcept {
  Note(allocations);
  return __libc_realloc(pointer, size);
}
extern "C" void free(void* pointer) noexcept {
  if (pointer != nullptr) Note(releases);
  __libc_free(pointer);
}

void* operator new(std::size_t size) {
  void* pointer = CountedNew(size);
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return CountedNew(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return CountedNew(size); }
void* operator new(std::size_t size, std::align_val_t alignment) {
  void* pointer = CountedAlignedNew(size, alignment);
  if (pointer == nullptr) throw std::bad_alloc();
  return pointer;
}
void* operator new[](std::size_t size, std::align_val_t alignment) { return operator new(size, alignment); }
void operator delete(void* pointer) noexcept { std::free(pointer); }
void operator delete[](void* pointer) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, const std::nothrow_t&) noexcept { std::free(pointer); }
void operator delete[](void* pointer, const std::nothrow_t&) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::align_val_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::align_val_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept { std::free(pointer); }
void operator delete[](void* pointer, std::size_t, std::align_val_t) noexcept { std::free(pointer); }

namespace corvane {
namespace {

using testing_support::ScratchDirectory;

const long kLines = 100000;

// Counts the allocation calls made between its construction and Stop().
class AllocationCount {
 public:
  AllocationCount() {
    allocations = 0;
    releases = 0;
    newCalls = 0;
    counting = true;
  }
  ~AllocationCount() { counting = false; }
  void Stop() { counting = false; }
  long allocated() const { return allocations; }
  long released() const { return releases; }
  long news() const { return newCalls; }
};

// Event lines of every kind the loop meets, with the counts each handler slot
// should see per `round` of them.
struct Mix {
  std::string bytes;
  long lines = 0;
  long info = 0, talk = 0, channel = 0, name = 0, join = 0, userFlags = 0, error = 0;
  long unhandled = 0;
};

Mix MakeMix(long lines) {
  Mix mix;
  for (long i = 0; mix.lines < lines; ++i) {
    const std::string n = std::to_string(i);
    switch (i % 10) {
      case 0:
      case 1:
      case 2:
      case 3:
        mix.bytes += "1018 INFO \"player" + n + "'s record: 12-3-4, rating 1500\"\r\n";
        ++mix.info;
        break;
      case 4:
        mix.bytes += "1005 TALK user" + n + " 0010 \"hello \"there\" " + n + "\"\n";
        ++mix.talk;
        break;
      case 5:
        mix.bytes += "1007 CHANNEL \"Clan " + n + "\"\r\n";
        ++mix.channel;
        break;
      case 6:
        mix.bytes += "2010 NAME bot" + n + "\r\n1002 JOIN user" + n + " 0010 [CHAT]\r\n";
        ++mix.name;
        ++mix.join;
        ++mix.lines;
        break;
      case 7:
        // An over-long name (cut to 127 characters) and flags beyond 32 bits.
        mix.bytes += "1009 USER " + std::string(200, 'x') + " ffffffffff\r\n";
        ++mix.userFlags;
        break;
      case 8:
        mix.bytes += "1019 ERROR \"" + std::string(300, 'e') + "\"\r\n";
        ++mix.error;
        break;
      default:
        // Unhandled ids and lines the loop drops: they are not dispatched.
        mix.bytes += (i % 20 == 9 ? "1020 UNKNOWN x 0 \"y\"\r\n" : "Connection from [127.0.0.1]\r\n\r\n");
        if (i % 20 == 9) ++mix.unhandled;
        break;
    }
    ++mix.lines;
  }
  return mix;
}

// Counts calls per handler slot in plain fields.
class CountingConnection : public ChatConnection {
 public:
  explicit CountingConnection(Environment& environment) : ChatConnection(environment) {}
  long info = 0, talk = 0, channel = 0, name = 0, join = 0, userFlags = 0, error = 0, idles = 0;
  std::uint32_t lastFlags = 0;
  std::size_t lastNameLength = 0;

  void OnIdle() override { ++idles; }
  int OnInfo(const char*, std::uint32_t, const char*) override { return ++info, 1; }
  int OnTalk(const char*, std::uint32_t, const char*) override { return ++talk, 1; }
  int OnChannel(const char* n, std::uint32_t f, const char* t) override {
    ChatConnection::OnChannel(n, f, t);
    return ++channel, 1;
  }
  int OnName(const char* n, std::uint32_t f, const char* t) override {
    ChatConnection::OnName(n, f, t);
    return ++name, 1;
  }
  int OnJoin(const char*, std::uint32_t, const char*) override { return ++join, 1; }
  int OnUserFlags(const char* n, std::uint32_t flags, const char*) override {
    lastFlags = flags;
    lastNameLength = std::strlen(n);
    return ++userFlags, 1;
  }
  int OnError(const char*, std::uint32_t, const char*) override { return ++error, 1; }
};

// A server that hands out prepared bytes in pieces of changing size (so that
// lines are split across reads and the buffer wraps), then closes. Handing
// them out allocates nothing.
struct PreparedBytesEnvironment : testing_support::FakeEnvironment {
  explicit PreparedBytesEnvironment(const std::string& bytes) {
    peerBytes = bytes;
    pieces = {1, 10, 73, 700, 2048, 3, 1500};
    repeatPieces = true;
    lastError = 0;
  }
};

void ExpectEveryLineHandled(const Mix& mix, const CountingConnection& c) {
  EXPECT_EQ(mix.info, c.info);
  EXPECT_EQ(mix.talk, c.talk);
  EXPECT_EQ(mix.channel, c.channel);
  EXPECT_EQ(mix.name, c.name);
  EXPECT_EQ(mix.join, c.join);
  EXPECT_EQ(mix.userFlags, c.userFlags);
  EXPECT_EQ(mix.error, c.error);
}

// Keeps the compiler from removing an allocation whose result is unused.
void* volatile sink;

TEST(AllocationCounter, SeesOurAllocationsAndTheCLibrarysOwn) {
  AllocationCount count;
  sink = std::malloc(10);
  std::free(sink);
  std::string* text = new std::string(100, 'x');
  sink = text;
  delete text;
  std::FILE* file = std::fopen("/dev/null", "rb");  // glibc allocates the FILE inside
  ASSERT_NE(nullptr, file);
  std::fclose(file);
  count.Stop();
  EXPECT_EQ(2, count.news());
  EXPECT_GE(count.allocated(), 4);
  EXPECT_EQ(count.allocated(), count.released());
}

TEST(ReceiveLoopAllocation, HandlerRecorderMakesNoAllocationInHundredThousandLines) {
  ScratchDirectory scratch;
  const Mix mix = MakeMix(kLines);
  PreparedBytesEnvironment environment(mix.bytes);
  CountingConnection connection(environment);
  connection.Configure("bot", "pw", "127.0.0.1", kChatServerPort);
  ASSERT_EQ(1, connection.Connect());
  // The log slot is open, as in the program: unhandled ids write to it. Its
  // stream buffer is made by the first write, before counting starts.
  ASSERT_EQ(1, connection.OpenLog("corvane.log"));
  ASSERT_EQ(1, connection.WriteLog("first line"));

  AllocationCount count;
  EXPECT_EQ(0, connection.ReceiveLoop());
  count.Stop();

  EXPECT_EQ(0, count.allocated()) << "operator new calls: " << count.news();
  EXPECT_EQ(0, count.released());
  ExpectEveryLineHandled(mix, connection);
  EXPECT_EQ(0xFFFFFFFFu, connection.lastFlags);
  EXPECT_EQ(127u, connection.lastNameLength);
  EXPECT_GT(connection.idles, 0);
  connection.CloseLog();
  std::string log = testing_support::ReadFile("corvane.log");
  EXPECT_NE(std::string::npos, log.find("Unhandled event ID 1020\r\n"));
  EXPECT_NE(std::string::npos, log.find("recv() returned 0, error code 0\r\n"));
}

TEST(ReceiveLoopAllocation, DefaultHandlersMakeNoAllocationInHundredThousandLines) {
  const Mix mix = MakeMix(kLines);
  PreparedBytesEnvironment environment(mix.bytes);
  ChatConnection connection(environment);
  connection.Configure("bot", "pw", "127.0.0.1", kChatServerPort);
  ASSERT_EQ(1, connection.Connect());

  AllocationCount count;
  EXPECT_EQ(0, connection.ReceiveLoop());
  count.Stop();

  EXPECT_EQ(0, count.allocated()) << "operator new calls: " << count.news();
  // The default slots recorded the last channel and name of the mix.
  EXPECT_EQ(0, std::strncmp(connection.currentChannel(), "Clan ", 5));
  EXPECT_EQ(0, std::strncmp(connection.loggedOnName(), "bot", 3));
}

TEST(ReceiveLoopAllocation, SocketPairReadMakesNoAllocationInHundredThousandLines) {
  const Mix mix = MakeMix(kLines);
  int ends[2];
  ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends));
  // The real platform's wait and receive on the socket pair, fed by a thread
  // that is running before counting starts.
  testing_support::FakeEnvironment environment;
  environment.givenSocket = ends[0];
  CountingConnection connection(environment);
  connection.Configure("bot", "pw", "127.0.0.1", kChatServerPort);
  ASSERT_EQ(1, connection.Connect());

  std::atomic<bool> ready{false};
  std::atomic<bool> go{false};
  std::thread writer([&] {
    ready = true;
    while (!go) std::this_thread::yield();
    std::size_t written = 0;
    while (written < mix.bytes.size()) {
      ssize_t n = write(ends[1], mix.bytes.data() + written, mix.bytes.size() - written);
      if (n <= 0) break;
      written += static_cast<std::size_t>(n);
    }
    close(ends[1]);
  });
  while (!ready) std::this_thread::yield();

  AllocationCount count;
  go = true;
  EXPECT_EQ(0, connection.ReceiveLoop());
  count.Stop();
  writer.join();
  connection.Disconnect();

  EXPECT_EQ(0, count.allocated()) << "operator new calls: " << count.news();
  ExpectEveryLineHandled(mix, connection);
}

}  // namespace
}  // namespace corvane
