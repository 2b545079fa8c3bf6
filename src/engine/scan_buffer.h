// The scan buffer: the one global byte array that sector checks, header analysis, the
// identity engine and the whole-file search share. Data is always placed at index 0; the
// whole-file search keeps the last 23 bytes of the previous piece at indexes 0..22 and
// reads each new 4096-byte piece behind them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace engine {

constexpr size_t kCarryOver = 23;    // one less than the longest signature
constexpr size_t kPieceSize = 4096;  // bytes read per piece by the whole-file search
constexpr size_t kScanBufferSize = kPieceSize + kCarryOver;  // 4119
constexpr size_t kCodeWindow = 1024;  // bytes of entry code handed to the identity engine

struct ScanBuffer {
  std::array<uint8_t, kScanBufferSize> bytes{};  // the shared scan buffer
};
extern ScanBuffer g_scan;

}  // namespace engine
