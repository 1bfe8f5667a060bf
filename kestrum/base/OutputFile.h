// Decides how an output name is written, and replaces a regular file whole or
// not at all through a temporary file beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace kestrum {

// The descriptor of this process that Name designates: 1 for "-", N for a
// name of the system's descriptor folder (/dev/stdout, /dev/fd/N,
// /proc/self/fd/N) or a chain of links ending at one; empty for any other
// name. The descriptor need not be open.
std::optional<int> DescriptorOf(const std::string& Name);

// Whether Name is written as a stream rather than replaced: a name with a
// DescriptorOf, or a file that exists and is not a regular one (a FIFO, a
// device, a terminal), which renaming over would replace. Links are followed.
bool IsStreamTarget(const std::string& Name);

// The size of the blocks in which the file system of Fd allocates space (a
// hole is made of whole ones); 4096 when it does not say.
uint64_t FileBlockSize(int Fd);

// Writes the Count bytes of Bytes at byte Offset of Fd, except the pieces,
// cut at multiples of Block, that are all zero: they are not written. A part
// of a file never written reads as zeros, and a whole block of such (silence)
// takes no disk space. So a run of zeros that spans several calls stays a
// hole too. Zeros left out at the end are the caller's to cover, by setting
// the file's length past them (ftruncate). Returns 0, or the errno of the
// write that failed.
int WriteSparse(int Fd, const uint8_t* Bytes, size_t Count, uint64_t Offset, uint64_t Block);

// Records that the standard descriptor Fd (0 to 2) was closed when the
// process started, and only holds a placeholder: OpenStream refuses it.
void NoteClosedStandardStream(int Fd);

// Opens Name to be streamed to: a duplicate of the descriptor it designates
// (DescriptorOf), written at that descriptor's offset and in its mode, or
// the file itself otherwise. Opening a FIFO waits for its reader; a stop
// request (kestrum/base/Stop.h) ends the wait with EStopped. Returns the descriptor;
// raises EInOutError "cannot open 'Name' for writing", and "cannot write to
// 'Name': the standard output was closed" for a standard stream that the
// caller closed.
int OpenStream(const std::string& Name);

// Marks the temporary files that TReplaceFile creates on this thread while
// it lives: ".NAME.Tag.RANDOM.tmp" rather than ".NAME.RANDOM.tmp", so that a
// run sharing a folder with others can find the temporaries that it alone
// left behind (a process killed while writing leaves its own). Tag: 1 to 64
// letters, digits, '-' or '_', else std::invalid_argument. Scopes nest, the
// innermost naming.
class TTempNameTag {
public:
  explicit TTempNameTag(const std::string& Tag);
  ~TTempNameTag();
  TTempNameTag(const TTempNameTag&) = delete;
  TTempNameTag& operator=(const TTempNameTag&) = delete;

private:
  std::string FPrevious;
};

// A new version of a regular file, written to a hidden temporary file beside
// the file it replaces and renamed over it by Commit. Until then an existing
// file stays exactly as it was; a replacement destroyed or discarded before
// Commit removes its temporary file. A name that is a symbolic link (or a
// chain of them) is followed: the file it finally names is replaced and the
// links stay; a dangling link creates the file it names. The new file keeps
// the permission bits of the file it replaces, and its owner and group where
// the process may set them. Messages name the file as it was given.
class TReplaceFile {
public:
  TReplaceFile() = default;
  ~TReplaceFile() { Discard(); }
  TReplaceFile(const TReplaceFile&) = delete;
  TReplaceFile& operator=(const TReplaceFile&) = delete;

  // Creates the temporary file for Name. An existing file that may not be
  // written is refused, as if it were opened to be overwritten: EInOutError
  // "cannot open 'Name' for writing"; a failed create raises "cannot create".
  void Open(const std::string& Name);

  // The temporary file, open for writing from its start; null when none is
  // open. Replacement owns it: callers never close it.
  std::FILE* File() const { return FFile; }

  // The temporary file's name while one is open, else "": other writers
  // (processes on other hosts of a shared file system) may fill it before
  // Commit.
  const std::string& TempName() const { return FTempName; }

  // Writes the file to the disk, closes it and renames it over its target,
  // then writes the folder's entries to the disk, so that a crash leaves the
  // old file or the new one, never an empty one. Raises EInOutError
  // ("cannot write", "cannot close", "cannot replace"); the temporary file
  // then stays until Discard or destruction.
  void Commit();

  // Closes and removes the temporary file, if any; the target is untouched.
  void Discard() noexcept;

private:
  std::string FName;      // as given, for messages
  std::string FTarget;    // the file FName finally names
  std::string FTempName;  // where the new version is written until Commit
  std::FILE* FFile = nullptr;
};

}  // namespace kestrum
