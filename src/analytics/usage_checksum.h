#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace strombel::analytics {

/// The CRC-32 of ISO-HDLC and zlib: reflected polynomial 0xEDB88320, register
/// preset to 0xFFFFFFFF, result inverted; 0 for no bytes. `previous` continues an
/// earlier checksum. Long inputs are folded with carry-less multiplication where
/// the processor has it, the rest goes through the tables; both give the same
/// value. The tables are made at compile time, so any thread may ask.
uint32_t usageCrc32(std::span<const uint8_t> bytes, uint32_t previous = 0);

/// The same through the tables alone, sixteen bytes a step (every machine).
uint32_t usageCrc32Portable(std::span<const uint8_t> bytes, uint32_t previous = 0);

/// True where `usageCrc32` folds with carry-less multiplication.
bool usageCrc32IsFolded();

}  // namespace strombel::analytics
