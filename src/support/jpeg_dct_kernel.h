#pragma once

// The transform and quantization of jpeg_dct.h written once over a register
// of 16-bit words; Ops supplies the operations of one register width (AVX2,
// AVX-512). Included only by the files compiled for those instructions. Each
// 128-bit lane of a register is one block: eight words, a row or a column.
// The products are taken in 32 bits by multiply-add pairs whose constants are
// the encoder's rotations multiplied out: the same integers as its 32-bit
// arithmetic, so every coefficient is the one it computes.

#include <cstdint>

#define QUILL_DCT_INLINE inline __attribute__((always_inline))

namespace quill::jpeg_dct::kernel {

constexpr int kConstBits = 13;
constexpr int kPass1Bits = 2;

// The rotations' constants, round(x * 2^13).
constexpr int kFix0_298631336 = 2446;
constexpr int kFix0_390180644 = 3196;
constexpr int kFix0_541196100 = 4433;
constexpr int kFix0_765366865 = 6270;
constexpr int kFix0_899976223 = 7373;
constexpr int kFix1_175875602 = 9633;
constexpr int kFix1_501321110 = 12299;
constexpr int kFix1_847759065 = 15137;
constexpr int kFix1_961570560 = 16069;
constexpr int kFix2_053119869 = 16819;
constexpr int kFix2_562915447 = 20995;
constexpr int kFix3_072711026 = 25172;

// A pair of 16-bit constants for a multiply-add: a times the first word of
// each pair, b times the second.
constexpr int Pair(int a, int b) {
  return static_cast<int>((static_cast<unsigned>(b) << 16) | (static_cast<unsigned>(a) & 0xFFFFu));
}

// The even part's rotation: z1 = (t12 + t13) c(0.541); out2 = z1 + t13 c(0.765),
// out6 = z1 - t12 c(1.848).
constexpr int kOut2 = Pair(kFix0_541196100, kFix0_541196100 + kFix0_765366865);
constexpr int kOut6 = Pair(kFix0_541196100 - kFix1_847759065, kFix0_541196100);
// The odd part: z5 = (t4 + t5 + t6 + t7) c(1.176) and the four rotations,
// each output a sum over t4..t7 with the constants gathered per input.
constexpr int kZ5 = kFix1_175875602;
constexpr int kOut7a = Pair(kFix0_298631336 - kFix0_899976223 - kFix1_961570560 + kZ5, kZ5);
constexpr int kOut7b = Pair(kZ5 - kFix1_961570560, kZ5 - kFix0_899976223);
constexpr int kOut5a = Pair(kZ5, kFix2_053119869 - kFix2_562915447 - kFix0_390180644 + kZ5);
constexpr int kOut5b = Pair(kZ5 - kFix2_562915447, kZ5 - kFix0_390180644);
constexpr int kOut3a = Pair(kZ5 - kFix1_961570560, kZ5 - kFix2_562915447);
constexpr int kOut3b = Pair(kFix3_072711026 - kFix2_562915447 - kFix1_961570560 + kZ5, kZ5);
constexpr int kOut1a = Pair(kZ5 - kFix0_899976223, kZ5 - kFix0_390180644);
constexpr int kOut1b = Pair(kZ5, kFix1_501321110 - kFix0_899976223 - kFix0_390180644 + kZ5);

template <typename Ops>
struct TKernel {
  using V = typename Ops::V;

  // (the pairs lo and hi of (a, b) times ka, plus those of (c, d) times kb),
  // rounded and shifted right by N, packed back to words in their order.
  template <int N>
  static QUILL_DCT_INLINE V Rotate(V abLo, V abHi, int ka, V cdLo, V cdHi, int kb) {
    const V round = Ops::Set32(1 << (N - 1));
    const V lo = Ops::Add32(Ops::Madd(abLo, ka), Ops::Madd(cdLo, kb));
    const V hi = Ops::Add32(Ops::Madd(abHi, ka), Ops::Madd(cdHi, kb));
    return Ops::Packs32(Ops::template Srai32<N>(Ops::Add32(lo, round)),
                        Ops::template Srai32<N>(Ops::Add32(hi, round)));
  }

  template <int N>
  static QUILL_DCT_INLINE V Rotate(V abLo, V abHi, int k) {
    const V round = Ops::Set32(1 << (N - 1));
    return Ops::Packs32(Ops::template Srai32<N>(Ops::Add32(Ops::Madd(abLo, k), round)),
                        Ops::template Srai32<N>(Ops::Add32(Ops::Madd(abHi, k), round)));
  }

  // One pass of the 8-point transform over d[0..7]; each word is a line of
  // its own. The first pass (rows) keeps kPass1Bits more bits, the second
  // (columns) removes them. Every sum fits 16 bits: the largest, the second
  // pass's DC term, is at most 8 x 8 x 128 x 4 = 32768 in magnitude, and
  // only the negative end reaches it.
  template <bool First>
  static QUILL_DCT_INLINE void Pass(V d[8]) {
    const V tmp0 = Ops::Add16(d[0], d[7]);
    const V tmp7 = Ops::Sub16(d[0], d[7]);
    const V tmp1 = Ops::Add16(d[1], d[6]);
    const V tmp6 = Ops::Sub16(d[1], d[6]);
    const V tmp2 = Ops::Add16(d[2], d[5]);
    const V tmp5 = Ops::Sub16(d[2], d[5]);
    const V tmp3 = Ops::Add16(d[3], d[4]);
    const V tmp4 = Ops::Sub16(d[3], d[4]);

    const V tmp10 = Ops::Add16(tmp0, tmp3);
    const V tmp13 = Ops::Sub16(tmp0, tmp3);
    const V tmp11 = Ops::Add16(tmp1, tmp2);
    const V tmp12 = Ops::Sub16(tmp1, tmp2);
    constexpr int kShift = First ? kConstBits - kPass1Bits : kConstBits + kPass1Bits;
    if constexpr (First) {
      d[0] = Ops::template Slli16<kPass1Bits>(Ops::Add16(tmp10, tmp11));
      d[4] = Ops::template Slli16<kPass1Bits>(Ops::Sub16(tmp10, tmp11));
    } else {
      const V round = Ops::Set16(1 << (kPass1Bits - 1));
      d[0] = Ops::template Srai16<kPass1Bits>(Ops::Add16(Ops::Add16(tmp10, tmp11), round));
      d[4] = Ops::template Srai16<kPass1Bits>(Ops::Add16(Ops::Sub16(tmp10, tmp11), round));
    }
    const V evenLo = Ops::UnpackLo16(tmp12, tmp13);
    const V evenHi = Ops::UnpackHi16(tmp12, tmp13);
    d[2] = Rotate<kShift>(evenLo, evenHi, kOut2);
    d[6] = Rotate<kShift>(evenLo, evenHi, kOut6);

    const V p45lo = Ops::UnpackLo16(tmp4, tmp5);
    const V p45hi = Ops::UnpackHi16(tmp4, tmp5);
    const V p67lo = Ops::UnpackLo16(tmp6, tmp7);
    const V p67hi = Ops::UnpackHi16(tmp6, tmp7);
    d[7] = Rotate<kShift>(p45lo, p45hi, kOut7a, p67lo, p67hi, kOut7b);
    d[5] = Rotate<kShift>(p45lo, p45hi, kOut5a, p67lo, p67hi, kOut5b);
    d[3] = Rotate<kShift>(p45lo, p45hi, kOut3a, p67lo, p67hi, kOut3b);
    d[1] = Rotate<kShift>(p45lo, p45hi, kOut1a, p67lo, p67hi, kOut1b);
  }

  // Transposes the 8 x 8 words in each 128-bit lane: word c of v[r] becomes
  // word r of v[c].
  static QUILL_DCT_INLINE void Transpose(V v[8]) {
    const V a0 = Ops::UnpackLo16(v[0], v[1]);
    const V a1 = Ops::UnpackHi16(v[0], v[1]);
    const V a2 = Ops::UnpackLo16(v[2], v[3]);
    const V a3 = Ops::UnpackHi16(v[2], v[3]);
    const V a4 = Ops::UnpackLo16(v[4], v[5]);
    const V a5 = Ops::UnpackHi16(v[4], v[5]);
    const V a6 = Ops::UnpackLo16(v[6], v[7]);
    const V a7 = Ops::UnpackHi16(v[6], v[7]);
    const V b0 = Ops::UnpackLo32(a0, a2);
    const V b1 = Ops::UnpackHi32(a0, a2);
    const V b2 = Ops::UnpackLo32(a1, a3);
    const V b3 = Ops::UnpackHi32(a1, a3);
    const V b4 = Ops::UnpackLo32(a4, a6);
    const V b5 = Ops::UnpackHi32(a4, a6);
    const V b6 = Ops::UnpackLo32(a5, a7);
    const V b7 = Ops::UnpackHi32(a5, a7);
    v[0] = Ops::UnpackLo64(b0, b4);
    v[1] = Ops::UnpackHi64(b0, b4);
    v[2] = Ops::UnpackLo64(b1, b5);
    v[3] = Ops::UnpackHi64(b1, b5);
    v[4] = Ops::UnpackLo64(b2, b6);
    v[5] = Ops::UnpackHi64(b2, b6);
    v[6] = Ops::UnpackLo64(b3, b7);
    v[7] = Ops::UnpackHi64(b3, b7);
  }

  // The divisors of coefficient row r, the same in each block's lane.
  struct TRowDivisors {
    V reciprocal[8];
    V correction[8];
    V scale[8];
  };

  static TRowDivisors Divisors(const std::uint16_t* reciprocal, const std::uint16_t* correction,
                               const std::uint16_t* scale) {
    TRowDivisors d;
    for (int r = 0; r < 8; ++r) {
      d.reciprocal[r] = Ops::EachLane(reciprocal + r * 8);
      d.correction[r] = Ops::EachLane(correction + r * 8);
      d.scale[r] = Ops::EachLane(scale + r * 8);
    }
    return d;
  }

  // Samples (less 128) of row r in v[r], one block per lane, become the
  // quantized coefficients of row v in v[v]. The quotient is the encoder's:
  // |x| plus the correction, times the reciprocal, scaled, the sign put back.
  static QUILL_DCT_INLINE void TransformAndQuantize(V v[8], const TRowDivisors& d) {
    Transpose(v);
    Pass<true>(v);
    Transpose(v);
    Pass<false>(v);
    for (int r = 0; r < 8; ++r) {
      const V a = Ops::Add16(Ops::Abs16(v[r]), d.correction[r]);
      const V q = Ops::MulhiU16(Ops::MulhiU16(a, d.reciprocal[r]), d.scale[r]);
      v[r] = Ops::SignOf(q, v[r]);
    }
  }
};

}  // namespace quill::jpeg_dct::kernel
