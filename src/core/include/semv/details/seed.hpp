// The seed of the core's hash tables: chosen once per process, so that which
// keys share a slot cannot be worked out in advance.
#pragma once

#include <cstdint>
#include <random>

namespace semv::details {

inline std::uint64_t process_seed() {
  static const std::uint64_t value = [] {
    std::uint64_t bits = reinterpret_cast<std::uintptr_t>(&value);  // randomised by ASLR
    try {
      std::random_device device;
      bits ^= std::uint64_t{device()} << 32 | device();
    } catch (...) {
      // No entropy source: the address alone must do.
    }
    return bits | 1;
  }();
  return value;
}

}  // namespace semv::details
