// The exact engine: a long filter's every tap through the fast kernel's
// float sum.
#include "kestrum/kernel/ExactKernel.h"

#include <algorithm>

#include "kestrum/base/FloatEnv.h"
#include "kestrum/kernel/FastKernel.h"

namespace kestrum {

void RunExactKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                    const TLongFilter& Filter, TRunContext& Run, int Threads) {
  if (Length.Frames <= 0) return;
  const TDefaultFloatEnv Env;  // the tables are converted in it too
  const int32_t NbEch = static_cast<int32_t>(std::min<int64_t>(Length.Frames, INT32_MAX));
  CheckChannels(Filter, Format.Channels, "the filter");
  // A short run needs no more history than its frames.
  std::vector<fast::TTaps> PerChannel;
  if (Filter.Channels.size() > 1)
    for (const std::vector<double>& Line : Filter.Channels) PerChannel.push_back(fast::TapsFor(Line, Format, NbEch));
  const fast::TBlockEngine Engine = PerChannel.empty()
      ? fast::TBlockEngine(fast::TapsFor(Filter.Channels[0], Format, NbEch), Format, Run.Clip, Run.Target, Run.Dither)
      : fast::TBlockEngine(std::move(PerChannel), Format, Run.Clip, Run.Target, Run.Dither);
  fast::RunEngine(Source, Sink, Length, Engine, Run, Threads, fast::kBlockFrames);
}

}  // namespace kestrum
