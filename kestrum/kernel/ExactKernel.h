// The exact engine for long filters.
#pragma once

#include "kestrum/filter/LongFilter.h"
#include "kestrum/kernel/Kernel.h"

namespace kestrum {

// The exact engine: the fast kernel's float sum in tap order, as for a .fir,
// over every tap of a long filter (delays 0 to Length - 1), one channel for
// all or one per channel.
void RunExactKernel(TFrameSource& Source, TFrameSink& Sink, const TAudioFormat& Format, const TRunLength& Length,
                    const TLongFilter& Filter, TRunContext& Run, int Threads);

}  // namespace kestrum
