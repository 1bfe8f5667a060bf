// Partitioned overlap-save convolution of one channel.
#include "kestrum/dsp/FftConvolver.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <mutex>

#include "kestrum/base/FloatEnv.h"
#include "kestrum/dsp/FftSimd.h"

namespace kestrum {

namespace {

// Bins summed at a time over every partition, so that the sums stay in the
// first-level cache while the spectra stream past; and partitions summed at
// once, their sums held in registers, few enough streams for the caches.
constexpr size_t kChunkBins = 512;
constexpr int32_t kGroupParts = 8;

// Calls Do(Slot, From, Count) for the one or two runs of slots that frames
// At to At + Count - 1 take in a ring of Size slots (a power of two, at
// least Count), so that each run is a plain loop.
template <class TDo>
void RingRuns(size_t Size, size_t At, size_t Count, TDo Do) {
  const size_t Slot = At & (Size - 1);
  const size_t First = std::min(Count, Size - Slot);
  Do(Slot, size_t{0}, First);
  if (First < Count) Do(size_t{0}, First, Count - First);
}

}  // namespace

TFftPlan UniformFftPlan(size_t Length, int32_t B, int32_t MaxParts) {
  const size_t All = std::max<size_t>(1, (Length + size_t(B) - 1) / size_t(B));
  return {0, {{B, static_cast<int32_t>(std::min<size_t>(All, size_t(std::max(MaxParts, 1))))}}};
}

TFftPlan GrowingFftPlan(size_t Length, int32_t First, int32_t Largest, int32_t Growth) {
  // A segment of blocks of B that starts at tap O gives frame n from the
  // block holding frame n - O, which ends at n - O + B - 1 at the latest:
  // before n when O >= B.
  TFftPlan Plan{First, {}};
  size_t O = size_t(First);
  for (int32_t B = First; O < Length; B = std::min(Growth * B, Largest)) {
    const size_t Left = (Length - O + size_t(B) - 1) / size_t(B);
    const size_t Parts = B == Largest ? Left : std::min<size_t>(Left, size_t(Growth - 1));
    Plan.Segments.push_back({B, static_cast<int32_t>(Parts)});
    O += Parts * size_t(B);
  }
  return Plan;
}

TFftSpectra::TFftSpectra(const std::vector<double>& Taps, int32_t B, int32_t MaxParts)
    : TFftSpectra(Taps, UniformFftPlan(Taps.size(), B, MaxParts)) {}

struct TFftSpectra::TLazy {
  explicit TLazy(size_t Segments) : Made(Segments), Bins(Segments) {}
  std::vector<std::once_flag> Made;
  std::vector<std::vector<double>> Bins;
};

TFftSpectra::TFftSpectra(const std::vector<double>& Taps, TFftPlan ThePlan)
    : TFftSpectra(std::make_shared<const std::vector<double>>(Taps), std::move(ThePlan)) {}

TFftSpectra::TFftSpectra(std::shared_ptr<const std::vector<double>> Taps, TFftPlan ThePlan)
    : Plan(std::move(ThePlan)), B(Plan.Direct > 0 ? Plan.Direct : Plan.Segments.front().Block),
      FTaps(std::move(Taps)), FLazy(std::make_unique<TLazy>(Plan.Segments.size())) {
  Head.assign(size_t(Plan.Direct), 0.0);
  std::copy(FTaps->begin(), FTaps->begin() + std::ptrdiff_t(std::min(FTaps->size(), Head.size())), Head.begin());
  int64_t Offset = Plan.Direct;
  for (const TFftSegment& S : Plan.Segments) {
    Offsets.push_back(Offset);
    Offset += int64_t(S.Parts) * S.Block;
  }
}

TFftSpectra::~TFftSpectra() = default;

const std::vector<double>& TFftSpectra::Bins(size_t I) const {
  std::call_once(FLazy->Made[I], [&] {
    const TDefaultFloatEnv Env;
    // Partition p: taps Offset + p*B to Offset + p*B + B - 1 in the window's
    // first half. The products' transform back is 2B times too large: the
    // scale, a power of two, is exact here.
    const TFftSegment& S = Plan.Segments[I];
    const size_t Block = size_t(S.Block);
    const double Scale = 1.0 / (2.0 * double(S.Block));
    const TRealFft Fft(S.Block);
    std::vector<double> Window(2 * Block);
    std::vector<double>& Spectra = FLazy->Bins[I];
    Spectra.resize(2 * Block * size_t(S.Parts));
    const std::vector<double>& Taps = *FTaps;
    for (int32_t P = 0; P < S.Parts; ++P) {
      std::fill(Window.begin(), Window.end(), 0.0);
      const size_t From = std::min(Taps.size(), size_t(Offsets[I]) + size_t(P) * Block);
      const size_t To = std::min(Taps.size(), From + Block);
      for (size_t K = From; K < To; ++K) Window[K - From] = Taps[K] * Scale;
      Fft.Forward(Window.data(), &Spectra[size_t(P) * 2 * Block]);
    }
  });
  return FLazy->Bins[I];
}

struct TFftConvolver::TSegment {
  TSegment(const TFftSegment& S, int64_t Offset, int32_t First)
      : B(S.Block), Parts(S.Parts), Offset(Offset), Window(2 * size_t(S.Block)),
        RingSize(Offset == 0 ? 0 : std::bit_ceil(size_t(Offset) + size_t(First) + size_t(S.Block))) {}
  int32_t B, Parts;
  int64_t Offset;
  std::vector<double> Window;  // the last block, then the new one: 2B frames
  // Made by MakeSegment: the transforms' tables (whose steps are called here
  // in the caller's environment); the last Parts input spectra, a ring; the
  // sums of a block's bins and its transform back; and a later segment's
  // output, by frame, until it is due.
  std::once_flag Once;
  std::atomic<bool> Made{false};
  std::shared_ptr<const dsp::TFftTables> Tables;
  std::vector<double> Input, Sum, Back, Ring;
  size_t RingSize;
  int32_t Filled = 0;          // frames of the new block gathered
  int32_t Newest = 0;          // slot of the newest input spectrum
  int32_t Blocks = 0;          // blocks since the start or Reset, up to Parts: older partitions meet silence
  int64_t Done = 0;            // blocks computed
};

TFftConvolver::TFftConvolver(const std::vector<double>& Taps, int32_t B)
    : TFftConvolver(std::make_shared<const TFftSpectra>(Taps, B)) {}

TFftConvolver::TFftConvolver(std::shared_ptr<const TFftSpectra> Filter)
    : FFilter(std::move(Filter)), FB(FFilter->B), FHead(FFilter->Head),
      FLine(FHead.empty() ? 0 : FHead.size() - 1 + size_t(FB)) {
  const TDefaultFloatEnv Env;
  for (size_t I = 0; I < FFilter->Plan.Segments.size(); ++I)
    FSegments.push_back(
        std::make_unique<TSegment>(FFilter->Plan.Segments[I], FHead.empty() ? 0 : FFilter->Offsets[I], FB));
}

TFftConvolver::~TFftConvolver() = default;
TFftConvolver::TFftConvolver(TFftConvolver&&) noexcept = default;

void TFftConvolver::MakeSegment(size_t I) {
  TSegment& S = *FSegments[I];
  if (S.Made.load(std::memory_order_acquire)) return;
  std::call_once(S.Once, [&] {
    const TDefaultFloatEnv Env;
    const size_t Two = 2 * size_t(S.B);
    S.Tables = dsp::SharedFftTables(size_t(S.B));
    FFilter->Bins(I);
    S.Input.resize(Two * size_t(S.Parts));
    S.Sum.resize(Two);
    S.Back.resize(Two);
    S.Ring.resize(S.RingSize);
    S.Made.store(true, std::memory_order_release);
  });
}

void TFftConvolver::Reset() {
  for (const std::unique_ptr<TSegment>& Each : FSegments) {
    TSegment& S = *Each;
    std::fill(S.Window.begin(), S.Window.end(), 0.0);
    // A segment not made yet has nothing to forget (its memory comes
    // zeroed), and may be in the making on another thread.
    if (S.Made.load(std::memory_order_acquire)) {
      std::fill(S.Input.begin(), S.Input.end(), 0.0);
      std::fill(S.Ring.begin(), S.Ring.end(), 0.0);
    }
    S.Filled = S.Newest = S.Blocks = 0;
    S.Done = 0;
  }
  std::fill(FLine.begin(), FLine.end(), 0.0);
  FFrames = 0;
}

// The segment's block in the second half of its window, through its
// partitions: its B output frames in the second half of its Back.
void TFftConvolver::Run(TSegment& S, size_t Index) {
  const size_t B = size_t(S.B);
  const size_t Two = 2 * B;
  S.Newest = (S.Newest + 1) % S.Parts;
  S.Blocks = std::min(S.Blocks + 1, S.Parts);
  MakeSegment(Index);
  double* const X = &S.Input[size_t(S.Newest) * Two];
  dsp::RealForward(S.Window.data(), X, X + B, *S.Tables);
  std::copy(S.Window.begin() + std::ptrdiff_t(B), S.Window.end(), S.Window.begin());
  // Sum[k] = sum over p, in order, of Input(block - p)[k] * Filter(p)[k].
  // The partitions that meet only the silence before the first block add
  // zeros, which leave a sum as it is: they are skipped.
  const std::vector<double>& Filter = FFilter->Bins(Index);
  double* const SumRe = S.Sum.data();
  double* const SumIm = S.Sum.data() + B;
  for (size_t From = 0; From < B; From += kChunkBins) {
    const size_t Count = std::min(kChunkBins, B - From);
    for (int32_t First = 0; First < S.Blocks; First += kGroupParts) {
      const double* X[kGroupParts];
      const double* H[kGroupParts];
      const int32_t Parts = std::min(kGroupParts, S.Blocks - First);
      for (int32_t G = 0; G < Parts; ++G) {
        const int32_t P = First + G;
        X[G] = &S.Input[size_t((S.Newest - P + S.Parts) % S.Parts) * Two] + From;
        H[G] = &Filter[size_t(P) * Two] + From;
      }
      dsp::MultiplyAdd(X, H, size_t(Parts), B, SumRe + From, SumIm + From, Count, First > 0);
    }
  }
  // Slot 0 holds two real bins, multiplied part by part.
  for (int32_t P = 0; P < S.Blocks; ++P) {
    const double* const X = &S.Input[size_t((S.Newest - P + S.Parts) % S.Parts) * Two];
    const double* const H = &Filter[size_t(P) * Two];
    SumRe[0] = P == 0 ? X[0] * H[0] : SumRe[0] + X[0] * H[0];
    SumIm[0] = P == 0 ? X[B] * H[B] : SumIm[0] + X[B] * H[B];
  }
  dsp::RealInverse(SumRe, SumIm, S.Back.data(), *S.Tables);
  ++S.Done;
}

// Count frames into a later segment's window; each block completed goes
// through its partitions, its output into the ring, where frame n - Offset
// of the segment's part is due at frame n.
void TFftConvolver::Feed(TSegment& S, size_t Index, const double* In, int32_t Count) {
  while (Count > 0) {
    const int32_t Take = std::min(Count, S.B - S.Filled);
    std::copy(In, In + Take, S.Window.begin() + S.B + S.Filled);
    In += Take;
    Count -= Take;
    S.Filled += Take;
    if (S.Filled < S.B) continue;
    S.Filled = 0;
    const int64_t At = S.Done * S.B + S.Offset;
    Run(S, Index);
    const double* const Block = S.Back.data() + S.B;
    RingRuns(S.Ring.size(), size_t(At), size_t(S.B), [&](size_t Slot, size_t From, size_t Count) {
      std::copy(Block + From, Block + From + Count, S.Ring.data() + Slot);
    });
  }
}

void TFftConvolver::Process(const double* In, double* Out, int32_t Count) {
  const TDefaultFloatEnv Env;
  if (FHead.empty()) {
    // A uniform plan: the one segment's output is the block's.
    const size_t B = size_t(FB);
    TSegment& S = *FSegments.front();
    for (int32_t At = 0; At < Count; At += FB) {
      std::copy(In + At, In + At + FB, S.Window.begin() + std::ptrdiff_t(B));
      Run(S, 0);
      std::copy(S.Back.begin() + std::ptrdiff_t(B), S.Back.begin() + std::ptrdiff_t(2 * B), Out + At);
    }
    FFrames += Count;
    return;
  }
  // A growing plan, a piece of up to FB frames at a time: the direct sum,
  // then the segments' parts in plan order.
  const size_t History = FHead.size() - 1;
  for (int32_t At = 0; At < Count;) {
    const int32_t Piece = std::min(FB, Count - At);
    std::copy(In + At, In + At + Piece, FLine.begin() + std::ptrdiff_t(History));
    for (size_t I = 0; I < FSegments.size(); ++I) Feed(*FSegments[I], I, In + At, Piece);
    dsp::DirectSum(FLine.data(), FHead.data(), FHead.size(), size_t(Piece), Out + At);
    std::copy(FLine.begin() + Piece, FLine.begin() + std::ptrdiff_t(History) + Piece, FLine.begin());
    for (const std::unique_ptr<TSegment>& Each : FSegments) {
      TSegment& S = *Each;
      if (S.Done == 0) continue;  // no block complete yet: silence so far
      RingRuns(S.Ring.size(), size_t(FFrames), size_t(Piece), [&](size_t Slot, size_t From, size_t Count) {
        double* const Due = S.Ring.data() + Slot;
        double* const Into = Out + At + std::ptrdiff_t(From);
        for (size_t J = 0; J < Count; ++J) Into[J] += Due[J];
        std::fill(Due, Due + Count, 0.0);
      });
    }
    FFrames += Piece;
    At += Piece;
  }
}

}  // namespace kestrum
