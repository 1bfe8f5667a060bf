// Partitioned overlap-save convolution of one channel.
#include "kestrum/dsp/FftConvolver.h"

#include <algorithm>
#include <bit>

#include "kestrum/base/FloatEnv.h"
#include "kestrum/dsp/FftSimd.h"

namespace kestrum {

namespace {

// Bins summed at a time over every partition, so that the sums stay in the
// first-level cache while the spectra stream past.
constexpr size_t kChunkBins = 512;

}  // namespace

TFftPlan UniformFftPlan(size_t Length, int32_t B, int32_t MaxParts) {
  const size_t All = std::max<size_t>(1, (Length + size_t(B) - 1) / size_t(B));
  return {{B, static_cast<int32_t>(std::min<size_t>(All, size_t(std::max(MaxParts, 1))))}};
}

TFftPlan GrowingFftPlan(size_t Length, int32_t First, int32_t Largest) {
  // A segment of blocks of B starting at tap O gives the frame n from the
  // block holding n - O: complete by the end of n's own first-size block when
  // O >= B - First. Three partitions of B bring O from 4B - ... to the point
  // where 4B may start.
  TFftPlan Plan;
  size_t O = 0;
  for (int32_t B = First; O < Length || Plan.empty(); B = std::min(4 * B, Largest)) {
    const size_t Left = (std::max(Length, size_t{1}) - std::min(O, Length) + size_t(B) - 1) / size_t(B);
    const int32_t Parts = B == Largest ? static_cast<int32_t>(Left) : static_cast<int32_t>(std::min<size_t>(Left, 3));
    Plan.push_back({B, std::max(Parts, 1)});
    O += size_t(Plan.back().Parts) * size_t(B);
  }
  return Plan;
}

TFftSpectra::TFftSpectra(const std::vector<double>& Taps, int32_t B, int32_t MaxParts)
    : TFftSpectra(Taps, UniformFftPlan(Taps.size(), B, MaxParts)) {}

TFftSpectra::TFftSpectra(const std::vector<double>& Taps, TFftPlan ThePlan)
    : Plan(std::move(ThePlan)), B(Plan.front().Block) {
  const TDefaultFloatEnv Env;
  int64_t Offset = 0;
  for (const TFftSegment& S : Plan) {
    // Partition p: taps Offset + p*B to Offset + p*B + B - 1 in the window's
    // first half. The products' transform back is 2B times too large: the
    // scale, a power of two, is exact here.
    const size_t Block = size_t(S.Block);
    const double Scale = 1.0 / (2.0 * double(S.Block));
    const TRealFft Fft(S.Block);
    std::vector<double> Window(2 * Block);
    std::vector<double>& Spectra = Bins.emplace_back(2 * Block * size_t(S.Parts));
    Offsets.push_back(Offset);
    for (int32_t P = 0; P < S.Parts; ++P) {
      std::fill(Window.begin(), Window.end(), 0.0);
      const size_t From = std::min(Taps.size(), size_t(Offset) + size_t(P) * Block);
      const size_t To = std::min(Taps.size(), From + Block);
      for (size_t I = From; I < To; ++I) Window[I - From] = Taps[I] * Scale;
      Fft.Forward(Window.data(), &Spectra[size_t(P) * 2 * Block]);
    }
    Offset += int64_t(S.Parts) * S.Block;
  }
}

struct TFftConvolver::TSegment {
  TSegment(const TFftSegment& S, int64_t Offset, int32_t First)
      : B(S.Block), Parts(S.Parts), Offset(Offset), Fft(S.Block), Window(2 * size_t(S.Block)),
        Input(2 * size_t(S.Block) * size_t(S.Parts)),
        Ring(Offset == 0 ? 0 : std::bit_ceil(size_t(Offset) + size_t(First) + size_t(S.Block))) {}
  int32_t B, Parts;
  int64_t Offset;
  TRealFft Fft;
  std::vector<double> Window;  // the last block, then the new one: 2B frames
  std::vector<double> Input;   // the last Parts input spectra, a ring
  std::vector<double> Ring;    // a later segment's output, by frame, until it is due
  int32_t Filled = 0;          // frames of the new block gathered
  int32_t Newest = 0;          // slot of the newest input spectrum
  int32_t Blocks = 0;          // blocks since the start or Reset, up to Parts: older partitions meet silence
  int64_t Done = 0;            // blocks computed
};

TFftConvolver::TFftConvolver(const std::vector<double>& Taps, int32_t B)
    : TFftConvolver(std::make_shared<const TFftSpectra>(Taps, B)) {}

TFftConvolver::TFftConvolver(std::shared_ptr<const TFftSpectra> Filter) : FFilter(std::move(Filter)), FB(FFilter->B) {
  const TDefaultFloatEnv Env;
  int32_t Largest = 0;
  for (size_t I = 0; I < FFilter->Plan.size(); ++I) {
    FSegments.emplace_back(FFilter->Plan[I], FFilter->Offsets[I], FB);
    Largest = std::max(Largest, FFilter->Plan[I].Block);
  }
  FSum.resize(2 * size_t(Largest));
  FBack.resize(2 * size_t(Largest));
}

TFftConvolver::~TFftConvolver() = default;
TFftConvolver::TFftConvolver(TFftConvolver&&) noexcept = default;

void TFftConvolver::Reset() {
  for (TSegment& S : FSegments) {
    std::fill(S.Window.begin(), S.Window.end(), 0.0);
    std::fill(S.Input.begin(), S.Input.end(), 0.0);
    std::fill(S.Ring.begin(), S.Ring.end(), 0.0);
    S.Filled = S.Newest = S.Blocks = 0;
    S.Done = 0;
  }
  FFrames = 0;
}

// The segment's block in the second half of its window, through its
// partitions: its B output frames in the second half of FBack.
void TFftConvolver::Run(TSegment& S, size_t Index) {
  const size_t B = size_t(S.B);
  const size_t Two = 2 * B;
  S.Newest = (S.Newest + 1) % S.Parts;
  S.Blocks = std::min(S.Blocks + 1, S.Parts);
  S.Fft.Forward(S.Window.data(), &S.Input[size_t(S.Newest) * Two]);
  std::copy(S.Window.begin() + std::ptrdiff_t(B), S.Window.end(), S.Window.begin());
  // Sum[k] = sum over p, in order, of Input(block - p)[k] * Filter(p)[k].
  // The partitions that meet only the silence before the first block add
  // zeros, which leave a sum as it is: they are skipped.
  const std::vector<double>& Filter = FFilter->Bins[Index];
  double* const SumRe = FSum.data();
  double* const SumIm = FSum.data() + B;
  for (size_t From = 0; From < B; From += kChunkBins) {
    const size_t Count = std::min(kChunkBins, B - From);
    for (int32_t P = 0; P < S.Blocks; ++P) {
      const double* const X = &S.Input[size_t((S.Newest - P + S.Parts) % S.Parts) * Two];
      const double* const H = &Filter[size_t(P) * Two];
      dsp::MultiplyAdd(X + From, X + B + From, H + From, H + B + From, SumRe + From, SumIm + From, Count, P > 0);
    }
  }
  // Slot 0 holds two real bins, multiplied part by part.
  for (int32_t P = 0; P < S.Blocks; ++P) {
    const double* const X = &S.Input[size_t((S.Newest - P + S.Parts) % S.Parts) * Two];
    const double* const H = &Filter[size_t(P) * Two];
    SumRe[0] = P == 0 ? X[0] * H[0] : SumRe[0] + X[0] * H[0];
    SumIm[0] = P == 0 ? X[B] * H[B] : SumIm[0] + X[B] * H[B];
  }
  S.Fft.Inverse(FSum.data(), FBack.data());
  ++S.Done;
}

void TFftConvolver::Process(const double* In, double* Out) {
  const TDefaultFloatEnv Env;
  const size_t B = size_t(FB);
  // The later segments gather their blocks; one that completes puts its
  // output in its ring, where frame n - Offset of its part is due at n.
  for (size_t I = 1; I < FSegments.size(); ++I) {
    TSegment& S = FSegments[I];
    std::copy(In, In + B, S.Window.begin() + S.B + S.Filled);
    S.Filled += FB;
    if (S.Filled < S.B) continue;
    S.Filled = 0;
    const int64_t At = S.Done * S.B + S.Offset;
    Run(S, I);
    const size_t Mask = S.Ring.size() - 1;
    for (size_t J = 0; J < size_t(S.B); ++J) S.Ring[(size_t(At) + J) & Mask] = FBack[size_t(S.B) + J];
  }
  TSegment& First = FSegments.front();
  std::copy(In, In + B, First.Window.begin() + std::ptrdiff_t(B));
  Run(First, 0);
  std::copy(FBack.begin() + std::ptrdiff_t(B), FBack.begin() + std::ptrdiff_t(2 * B), Out);
  for (size_t I = 1; I < FSegments.size(); ++I) {
    TSegment& S = FSegments[I];
    const size_t Mask = S.Ring.size() - 1;
    for (size_t J = 0; J < B; ++J) {
      double& Due = S.Ring[(size_t(FFrames) + J) & Mask];
      Out[J] += Due;
      Due = 0.0;
    }
  }
  FFrames += FB;
}

}  // namespace kestrum
