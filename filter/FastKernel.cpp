// The fast kernel. For now it runs the reference kernel.
#include "filter/Kernel.h"

namespace kestrum {

void RunFastKernel(TReadWavFile& Reader, TWriteWavFile& Writer, int32_t NbEch,
                   const TFirFilter& Filter, TKestrum& Progress, int /*Threads*/) {
  RunReferenceKernel(Reader, Writer, NbEch, Filter, Progress);
}

}  // namespace kestrum
