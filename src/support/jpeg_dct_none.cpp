#include "support/jpeg_dct.h"

namespace quill::jpeg_dct {

// Builds without the AVX files (Windows, other processors): the encoder
// transforms its planes itself.
TDctPath Path() { return TDctPath::Library; }
void AllowUpTo(TDctPath) {}
void PrepareDivisors(const std::uint16_t[64], TDivisors&) {}
void QuantizeBlocks(const std::uint8_t* const[8], int, const TDivisors&, std::int16_t*) {}
std::size_t EncodePlanes(const TYccPicture&, int, unsigned char*, std::size_t) { return 0; }

}  // namespace quill::jpeg_dct
