#pragma once

// The register widths of the transform, each compiled alone for its
// instructions; jpeg_dct_cpu.cpp asks the processor and chooses.

#include "support/jpeg_dct.h"

namespace quill::jpeg_dct {

namespace avx2 {
void QuantizeBlocks(const std::uint8_t* const rows[8], int blocks, const TDivisors& divisors,
                    std::int16_t* out);
}

namespace avx512 {
void QuantizeBlocks(const std::uint8_t* const rows[8], int blocks, const TDivisors& divisors,
                    std::int16_t* out);
}

}  // namespace quill::jpeg_dct
