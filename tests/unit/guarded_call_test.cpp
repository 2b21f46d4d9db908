// Foreign code that crashes or asks to stop comes back to its caller as data, and the process
// is as it was before the call: the same handlers, and a SIGBUS that an earlier handler owns
// still goes to it.
#include "base/guarded_call.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>

#include "support/container_writer.h"
#include "support/temp_folder.h"
#endif

namespace quarry {
namespace {

volatile std::uintptr_t nowhere = 8;
volatile int zero = 0;
volatile int seven = 7;
volatile bool neverTrue = false;

// The processor's own division, which the undefined-behaviour checker cannot step in front of.
int divide(int dividend, int divisor) {
#if defined(__x86_64__)
  int quotient = dividend, remainder = 0;
  asm volatile("cltd\n\tidivl %2" : "+a"(quotient), "=&d"(remainder) : "r"(divisor));
  return quotient;
#else
  return dividend / divisor;
#endif
}

__attribute__((noinline)) int recurse(int depth) {
  volatile char page[4096];
  page[depth % sizeof page] = static_cast<char>(depth);
  if (neverTrue) return page[0];
  return recurse(depth + 1) + page[0];
}

struct GuardCase {
  const char* name;
  void (*body)(void*);
  bool returns;
  int signal;
  const char* call;
};

void PrintTo(const GuardCase& c, std::ostream* out) {
  *out << c.name;
}

class GuardedCall : public ::testing::TestWithParam<GuardCase> {};

TEST_P(GuardedCall, ComesBackWithWhatStoppedIt) {
  int ran = 0;
  GuardedStop stop;
  stop.signal = -5;  // overwritten by every call
  const bool returned = runGuarded(
      [](void* context) {
        ++*static_cast<int*>(context);
        GetParam().body(context);
        ++*static_cast<int*>(context);
      },
      &ran, stop);
  EXPECT_EQ(returned, GetParam().returns);
  EXPECT_EQ(ran, GetParam().returns ? 2 : 1);
  EXPECT_EQ(stop.signal, GetParam().signal);
  if (GetParam().call == nullptr) {
    EXPECT_EQ(stop.call, nullptr);
  } else {
    EXPECT_STREQ(stop.call, GetParam().call);
  }
  EXPECT_EQ(stop.address != 0, !GetParam().returns && GetParam().call == nullptr &&
                                   GetParam().signal != 22 /* Windows' abort */);
}

#ifdef _WIN32
constexpr int BAD_ACCESS = static_cast<int>(EXCEPTION_ACCESS_VIOLATION);
constexpr int DIVISION = static_cast<int>(EXCEPTION_INT_DIVIDE_BY_ZERO);
constexpr int ILLEGAL = static_cast<int>(EXCEPTION_ILLEGAL_INSTRUCTION);
#else
constexpr int BAD_ACCESS = SIGSEGV;
constexpr int DIVISION = SIGFPE;
constexpr int ILLEGAL = SIGILL;
#endif

INSTANTIATE_TEST_SUITE_P(
    Bodies, GuardedCall,
    ::testing::Values(
        GuardCase{"Returns", [](void*) {}, true, 0, nullptr},
        GuardCase{"BadAccess", [](void*) { *reinterpret_cast<volatile int*>(nowhere) = 1; }, false,
                  BAD_ACCESS, nullptr},
        GuardCase{"DivisionByZero", [](void*) { zero = divide(seven, zero); }, false, DIVISION,
                  nullptr},
        GuardCase{"IllegalInstruction", [](void*) { __builtin_trap(); }, false, ILLEGAL, nullptr},
        GuardCase{"AsksToStop", [](void*) { leaveGuardedCall("ExitProcess"); }, false, 0,
                  "ExitProcess"}
#ifndef _WIN32
        ,
        GuardCase{"Aborts", [](void*) { std::abort(); }, false, SIGABRT, nullptr},
        GuardCase{"OverflowsItsStack", [](void*) { zero = recurse(0); }, false, SIGSEGV, nullptr}
#endif
        ),
    [](const ::testing::TestParamInfo<GuardCase>& info) { return std::string(info.param.name); });

TEST(GuardedCall, CanBeMadeAgainAfterAStop) {
  GuardedStop stop;
  for (int round = 0; round < 3; ++round) {
    EXPECT_FALSE(
        runGuarded([](void*) { *reinterpret_cast<volatile int*>(nowhere) = 1; }, nullptr, stop));
    EXPECT_EQ(stop.signal, BAD_ACCESS);
    EXPECT_TRUE(runGuarded([](void*) {}, nullptr, stop));
  }
}

#ifndef _WIN32
// (The C library adds flags of its own when a handler is set, so those are not compared.)
bool sameHandler(const struct sigaction& a, const struct sigaction& b) {
  const int kind = SA_SIGINFO | SA_ONSTACK;
  if ((a.sa_flags & kind) != (b.sa_flags & kind)) return false;
  return (a.sa_flags & SA_SIGINFO) != 0 ? a.sa_sigaction == b.sa_sigaction
                                        : a.sa_handler == b.sa_handler;
}

TEST(GuardedCall, PutsTheHandlersBeforeItBack) {
  const int signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
  struct sigaction before[5];
  for (int k = 0; k < 5; ++k) sigaction(signals[k], nullptr, &before[k]);
  GuardedStop stop;
  runGuarded([](void*) { *reinterpret_cast<volatile int*>(nowhere) = 1; }, nullptr, stop);
  for (int k = 0; k < 5; ++k) {
    struct sigaction after {};
    sigaction(signals[k], nullptr, &after);
    EXPECT_TRUE(sameHandler(before[k], after)) << signals[k];
  }
}

// A file mapping that reads past its file's end raises SIGBUS; the handler from before the
// call (as the container's) either takes it, putting a zero page there, or gives it up.
volatile std::uint8_t* lostPage = nullptr;
bool takesBusErrors = false;
int busErrorsSeen = 0;

void earlierBusHandler(int, siginfo_t* info, void*) {
  ++busErrorsSeen;
  if (takesBusErrors && info->si_addr == lostPage) {
    mmap(const_cast<std::uint8_t*>(lostPage), 4096, PROT_READ,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    return;
  }
  signal(SIGBUS, SIG_DFL);
}

class BusErrorOwner : public ::testing::TestWithParam<bool> {};

TEST_P(BusErrorOwner, KeepsGettingTheBusErrorsItTakes) {
  testing::TempFolder folder;
  const auto path = folder / "page";
  testing::writeBytes(path, testing::Bytes(4096, 1));
  FILE* file = std::fopen(path.c_str(), "rb");
  ASSERT_NE(file, nullptr);
  void* mapped = mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE, fileno(file), 0);
  std::fclose(file);
  ASSERT_NE(mapped, MAP_FAILED);
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  lostPage = static_cast<std::uint8_t*>(mapped);
  takesBusErrors = GetParam();
  busErrorsSeen = 0;
  struct sigaction earlier {
  }, saved{};
  earlier.sa_sigaction = earlierBusHandler;
  earlier.sa_flags = SA_SIGINFO;
  sigaction(SIGBUS, &earlier, &saved);
  GuardedStop stop;
  const bool returned = runGuarded([](void*) { zero = lostPage[0]; }, nullptr, stop);
  sigaction(SIGBUS, &saved, nullptr);
  munmap(mapped, 4096);
  EXPECT_EQ(busErrorsSeen, 1);
  EXPECT_EQ(returned, GetParam());
  EXPECT_EQ(stop.signal, GetParam() ? 0 : SIGBUS);
}

INSTANTIATE_TEST_SUITE_P(EarlierHandler, BusErrorOwner, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                           return std::string(info.param ? "TakesIt" : "GivesItUp");
                         });
#endif

}  // namespace
}  // namespace quarry
