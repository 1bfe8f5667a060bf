// The exact engine: a long filter's every tap through the fast kernel's
// float sum.
#include "kestrum/kernel/ExactKernel.h"


#include "kestrum/kernel/Engine.h"
#include "kestrum/kernel/FastKernel.h"

namespace kestrum {

void RunExactKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                    const TLongFilter& Filter, TRunContext& Run, int Threads) {
  if (Length.Frames <= 0) return;
  const std::unique_ptr<TKernelEngine> Engine = MakeBlockEngine(Filter);
  Engine->Prepare(Format, {Run.Clip, Run.Target, Run.Dither}, Length.Frames);
  DriveEngine(*Engine, Source, Sink, Length, Run, Threads, fast::kBlockFrames);
}

}  // namespace kestrum
