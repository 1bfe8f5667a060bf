// A host of the Kestrum library: filters a WAV stream that arrives through a
// pipe with the TKestrum component, then the same samples held in memory with
// TFirStream, in the small blocks an audio callback would see, and says what
// it did.
//
//   embed SOURCE FILTER FILE_TARGET MEMORY_TARGET
//
// Both targets come out byte for byte the same as `kestrum SOURCE T FILTER`.
#include <kestrum/base/Errors.h>
#include <kestrum/kernel/FirStream.h>
#include <kestrum/component/Kestrum.h>
#include <kestrum/wav/ReadWavFile.h>
#include <kestrum/wav/WriteWavFile.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <thread>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: embed SOURCE FILTER FILE_TARGET MEMORY_TARGET\n");
    return 2;
  }
  try {
    // A stream to a file: the component reads a pipe as a live source (a
    // capture, a socket would do the same), filtering each piece as it comes.
    // Here a thread plays the producer, writing the source file in pieces of
    // 4 KiB, 1 ms apart; the component's run ends when the pipe closes.
    std::signal(SIGPIPE, SIG_IGN);  // a pipe closed early fails a write instead
    int Pipe[2];
    if (pipe(Pipe) != 0) throw kestrum::EInOutError(errno, "cannot create a pipe");
    std::thread Producer([Fd = Pipe[1], Name = argv[1]] {
      std::ifstream In(Name, std::ios::binary);
      const std::vector<char> Bytes(std::istreambuf_iterator<char>(In), {});
      for (size_t Done = 0; Done < Bytes.size();) {
        const ssize_t N = write(Fd, Bytes.data() + Done, std::min<size_t>(4096, Bytes.size() - Done));
        if (N <= 0) break;
        Done += static_cast<size_t>(N);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      close(Fd);
    });
    kestrum::TKestrum Kestrum(nullptr);
    Kestrum.SourceDescriptor = Pipe[0];  // read as it arrives; SourceFile names it
    Kestrum.SourceFile = "pipe";
    Kestrum.FirFile = argv[2];
    Kestrum.CibleFile = argv[3];
    try {
      Kestrum.Execute();
    } catch (...) {
      close(Pipe[0]);  // the producer then fails its write and ends
      Producer.join();
      throw;
    }
    Producer.join();
    close(Pipe[0]);
    std::printf("TKestrum: %s through a pipe and %s into %s, %lld frames of %d channel(s)\n", argv[1], argv[2],
                argv[3], static_cast<long long>(Kestrum.FramesDone()), Kestrum.SourceFormat().Channels);

    // In memory: the source's frames in a buffer, filtered in place in
    // blocks of 10 ms at 44.1 kHz, then written out.
    kestrum::TReadWavFile Reader;
    Reader.FileName = argv[1];
    Reader.SetActive(true);
    const size_t FrameBytes = static_cast<size_t>(Reader.FrameBytes());  // any channel count, 1 to 64
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
