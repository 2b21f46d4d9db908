// Payloads as the output side receives them, made from test bytes.
#pragma once

#include <cstdlib>
#include <cstring>

#include "extract/payload.h"
#include "support/container_writer.h"

namespace quarry::testing {

// bytes as a decoded entry's content, in a buffer of its own.
inline Payload decodedPayload(const Bytes& bytes) {
  DecodedBytes payload;
  payload.length = bytes.size();
  if (!bytes.empty()) {
    payload.buffer.reset(static_cast<std::uint8_t*>(std::malloc(bytes.size())));
    std::memcpy(payload.buffer.get(), bytes.data(), bytes.size());
  }
  return payload;
}

}  // namespace quarry::testing
