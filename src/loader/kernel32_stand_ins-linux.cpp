// Stand-ins for the KERNEL32 functions Quarry does not offer. A library may import many that
// it never calls on the way to decoding (a C runtime's start-up imports dozens); Windows'
// loader binds them all, so Quarry binds each to a function that, only if it is called,
// stops the call in progress and names what was called.
#include <array>
#include <string>
#include <utility>

#include "base/guarded_call.h"
#include "loader/kernel32-linux.h"

namespace quarry {
namespace {

std::array<std::string, STAND_IN_COUNT> names;  // "" while free
std::size_t used = 0;

template <std::size_t index>
__attribute__((ms_abi)) void standIn() {
  leaveGuardedCall(names[index].c_str());
}

template <std::size_t... index>
std::array<void*, STAND_IN_COUNT> standInTable(std::index_sequence<index...>) {
  return {reinterpret_cast<void*>(&standIn<index>)...};
}

const std::array<void*, STAND_IN_COUNT> STAND_INS =
    standInTable(std::make_index_sequence<STAND_IN_COUNT>());

}  // namespace

void* standInFor(const std::string& call) {
  for (std::size_t k = 0; k < used; ++k) {
    if (names[k] == call) return STAND_INS[k];
  }
  if (used == STAND_IN_COUNT) return nullptr;
  names[used] = call;
  return STAND_INS[used++];
}

}  // namespace quarry
