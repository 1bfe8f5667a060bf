// A host of the Kestrum library: filters a WAV file with the TKestrum
// component, then the same samples held in memory with TFirStream, in the
// small blocks an audio callback would see, and says what it did.
//
//   embed SOURCE FILTER FILE_TARGET MEMORY_TARGET
//
// Both targets come out byte for byte the same as `kestrum SOURCE T FILTER`.
#include <kestrum/base/Errors.h>
#include <kestrum/kernel/FirStream.h>
#include <kestrum/filter/Kestrum.h>
#include <kestrum/wav/ReadWavFile.h>
#include <kestrum/wav/WriteWavFile.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: embed SOURCE FILTER FILE_TARGET MEMORY_TARGET\n");
    return 2;
  }
  try {
    // File to file: the component does the whole run.
    kestrum::TKestrum Kestrum(nullptr);
    Kestrum.SourceFile = argv[1];
    Kestrum.FirFile = argv[2];
    Kestrum.CibleFile = argv[3];
    Kestrum.Execute();
    std::printf("TKestrum: %s through %s into %s, %d frames\n", argv[1], argv[2], argv[3], Kestrum.NbEch());

    // In memory: the source's frames in a buffer, filtered in place in
    // blocks of 10 ms at 44.1 kHz, then written out.
    kestrum::TReadWavFile Reader;
    Reader.FileName = argv[1];
    Reader.SetActive(true);
    const size_t FrameBytes = Reader.FrameBytes();
    std::vector<uint8_t> Samples(static_cast<size_t>(Reader.NSamples) * FrameBytes);
    Reader.ReadFrames(Samples.data(), Reader.NSamples);

    kestrum::TFirStream Stream(kestrum::ReadFirFilter(argv[2]), Reader.Format());
    const size_t BlockBytes = 441 * FrameBytes;
    for (size_t Done = 0; Done < Samples.size(); Done += BlockBytes) {
      const std::span<uint8_t> Block(Samples.data() + Done, std::min(BlockBytes, Samples.size() - Done));
      Stream.Filter(Block, Block);
    }

    kestrum::TWriteWavFile Writer;
    Writer.FileName = argv[4];
    Writer.SetActive(true);
    Writer.SetFormat(Reader.Format());
    Writer.WriteBytes(Samples.data(), Samples.size());
    Writer.Close();
    const kestrum::TOverflowCount& Overflow = Stream.Overflow();
    std::printf("TFirStream: %lld frames in blocks of 441 into %s, %lld of %lld samples beyond %d bits\n",
                static_cast<long long>(Stream.Frames()), argv[4], static_cast<long long>(Overflow.Overflowed),
                static_cast<long long>(Overflow.Samples), Overflow.Bits);
  } catch (const kestrum::EKestrum& E) {
    std::fprintf(stderr, "embed: %s\n", E.what());
    return 1;
  }
  return 0;
}
