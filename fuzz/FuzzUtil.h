// What the harnesses share: bytes as a file the core can open by name, and
// the check that messages stay printable.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace kestrum::fuzz {

// An unnamed file in memory holding the given bytes, opened by name through
// /proc; it goes away with the object.
class TMemFile {
public:
  TMemFile(const uint8_t* Data, size_t Size) : FFd(memfd_create("fuzz", 0)) {
    if (FFd < 0) std::abort();
    for (size_t Done = 0; Done < Size;) {
      const ssize_t N = write(FFd, Data + Done, Size - Done);
      if (N <= 0) std::abort();
      Done += static_cast<size_t>(N);
    }
  }
  ~TMemFile() { close(FFd); }
  TMemFile(const TMemFile&) = delete;
  TMemFile& operator=(const TMemFile&) = delete;
  std::string Name() const { return "/proc/self/fd/" + std::to_string(FFd); }

private:
  int FFd;
};

// An error message must be one printable line, whatever the input held: no
// control byte but the tab, which moves no line.
inline void CheckMessage(const char* Message) {
  for (const char* P = Message; *P; ++P)
    if (static_cast<unsigned char>(*P) < 32 && *P != '\t') std::abort();
}

}  // namespace kestrum::fuzz
