#include "support/temp_folder.h"

#include <atomic>
#include <chrono>
#include <random>
#include <string>

namespace quarry::testing {
namespace {

std::string uniqueName() {
  static std::atomic<unsigned> counter{0};
  static const auto seed =
      std::random_device{}() ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count());
  return "quarry-test-" + std::to_string(seed) + "-" + std::to_string(counter++);
}

}  // namespace

TempFolder::TempFolder() {
  for (;;) {
    path_ = std::filesystem::temp_directory_path() / uniqueName();
    if (std::filesystem::create_directory(path_)) return;
  }
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace quarry::testing
