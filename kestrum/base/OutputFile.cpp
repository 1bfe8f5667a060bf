// Streams or replaces output files: links followed, a temporary name that fits,
// mode and owner kept, data and folder synced around the rename.
#include "kestrum/base/OutputFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kestrum/base/Errors.h"
#include "kestrum/base/Stop.h"

namespace kestrum {

namespace {

// Links followed before a target is taken as a loop, as the system does.
constexpr int kMaxLinks = 40;

// The tag of the innermost TTempNameTag alive on this thread, or "".
thread_local std::string TempTag;

// A name beside Target that no other run will pick: the target's own name,
// hidden, with the thread's tag and a random suffix; the name is cut so that
// the whole fits the file system's limit.
std::string TempNameFor(const std::string& Target) {
  static thread_local std::mt19937_64 Random{std::random_device{}()};
  const std::filesystem::path Path(Target);
  const std::filesystem::path Folder = Path.parent_path().empty() ? "." : Path.parent_path();
  long NameMax = pathconf(Folder.c_str(), _PC_NAME_MAX);
  if (NameMax <= 0) NameMax = 255;
  char Suffix[24];
  std::snprintf(Suffix, sizeof Suffix, ".%016llx.tmp",
                static_cast<unsigned long long>(Random()));
  const std::string Tagged = (TempTag.empty() ? "" : "." + TempTag) + Suffix;
  std::string Hidden = Path.filename().string();
  const size_t Room = static_cast<size_t>(NameMax) - 1 - Tagged.size();
  if (Hidden.size() > Room) Hidden.resize(Room);
  Hidden.insert(Hidden.begin(), '.');
  Hidden.append(Tagged);
  return (Path.parent_path() / Hidden).string();
}

// The file Name finally stands for, through any chain of symbolic links;
// the name itself when it is not a link or does not exist.
std::string FollowLinks(const std::string& Name) {
  std::filesystem::path Path(Name);
  for (int Links = 0;; ++Links) {
    struct stat Stat {};
    if (lstat(Path.c_str(), &Stat) != 0 || !S_ISLNK(Stat.st_mode)) return Path.string();
    if (Links == kMaxLinks) throw EInOutError::FromErrno(ELOOP, "cannot follow", Name);
    std::error_code Ec;
    const std::filesystem::path Link = std::filesystem::read_symlink(Path, Ec);
    if (Ec) throw EInOutError::FromErrno(Ec.value(), "cannot follow", Name);
    Path = Link.is_absolute() ? Link : Path.parent_path() / Link;
  }
}

// Writes a folder's entries to the disk, so that a rename in it lasts. Some
// file systems cannot sync a folder; the rename has happened all the same.
void SyncFolder(const std::string& File) {
  const std::filesystem::path Folder = std::filesystem::path(File).parent_path();
  const int Fd = open(Folder.empty() ? "." : Folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (Fd < 0) return;
  fsync(Fd);
  close(Fd);
}

}  // namespace

std::optional<int> DescriptorOf(const std::string& Name) {
  if (Name == "-") return STDOUT_FILENO;
  static const std::string Own = "/proc/" + std::to_string(getpid());
  std::filesystem::path Path(Name);
  for (int Links = 0; Links <= kMaxLinks; ++Links) {
    // A descriptor's entry sits in /proc/PID/fd or /proc/PID/task/TID/fd,
    // which /dev/fd and /proc/self/fd lead to.
    std::error_code Ec;
    const std::string Folder =
        std::filesystem::canonical(Path.parent_path().empty() ? "." : Path.parent_path(), Ec).string();
    const std::string Entry = Path.filename().string();
    if (!Ec && Folder.starts_with(Own + "/") && Folder.ends_with("/fd") && !Entry.empty() &&
        Entry.size() < 10 && Entry.find_first_not_of("0123456789") == std::string::npos &&
        (Folder == Own + "/fd" || Folder.starts_with(Own + "/task/")))
      return std::stoi(Entry);
    struct stat Stat {};
    if (lstat(Path.c_str(), &Stat) != 0 || !S_ISLNK(Stat.st_mode)) return std::nullopt;
    const std::filesystem::path Link = std::filesystem::read_symlink(Path, Ec);
    if (Ec) return std::nullopt;
    Path = Link.is_absolute() ? Link : Path.parent_path() / Link;
  }
  return std::nullopt;
}

bool IsStreamTarget(const std::string& Name) {
  struct stat Existing {};
  return DescriptorOf(Name) || (stat(Name.c_str(), &Existing) == 0 && !S_ISREG(Existing.st_mode));
}

uint64_t FileBlockSize(int Fd) {
  struct stat Stat {};
  if (fstat(Fd, &Stat) != 0 || Stat.st_blksize < 512 || Stat.st_blksize > (1 << 24)) return 4096;
  return static_cast<uint64_t>(Stat.st_blksize);
}

int WriteSparse(int Fd, const uint8_t* Bytes, size_t Count, uint64_t Offset, uint64_t Block) {
  // Contiguous pieces that are written go out in one pwrite.
  const auto Write = [&](uint64_t From, uint64_t To) {
    for (const uint8_t* P = Bytes + (From - Offset); From < To;) {
      const ssize_t N = pwrite(Fd, P, static_cast<size_t>(To - From), static_cast<off_t>(From));
      if (N < 0 && errno == EINTR) continue;
      if (N <= 0) return N < 0 ? errno : EIO;
      P += N;
      From += static_cast<uint64_t>(N);
    }
    return 0;
  };
  const uint64_t End = Offset + Count;
  uint64_t Run = Offset;  // the first byte neither written nor left out
  for (uint64_t At = Offset; At < End;) {
    const uint64_t Next = std::min(End, (At / Block + 1) * Block);
    const uint8_t* Piece = Bytes + (At - Offset);
    if (Piece[0] == 0 && std::memcmp(Piece, Piece + 1, static_cast<size_t>(Next - At - 1)) == 0) {
      if (const int Error = Write(Run, At)) return Error;
      Run = Next;
    }
    At = Next;
  }
  return Write(Run, End);
}

namespace {
bool ClosedStandardStreams[3] = {};
}  // namespace

void NoteClosedStandardStream(int Fd) {
  if (Fd >= 0 && Fd <= 2) ClosedStandardStreams[Fd] = true;
}

int OpenStream(const std::string& Name) {
  const std::optional<int> Descriptor = DescriptorOf(Name);
  if (Descriptor && *Descriptor <= 2 && ClosedStandardStreams[*Descriptor])
    throw EInOutError(EBADF, Name == "-" ? std::string("cannot write to standard output: it was closed")
                                         : "cannot write to '" + Name + "': the standard " +
                                               (*Descriptor == 1 ? "output" : *Descriptor == 2 ? "error" : "input") +
                                               " was closed");
  const int Fd = Descriptor ? fcntl(*Descriptor, F_DUPFD_CLOEXEC, 0)
                            : open(Name.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (Fd < 0) {
    const int Error = errno;
    CheckStop();  // opening a FIFO waits for its reader: a stop ends the wait
    throw EInOutError::FromErrno(Error, "cannot open", Name, "for writing");
  }
  return Fd;
}

TTempNameTag::TTempNameTag(const std::string& Tag) : FPrevious(TempTag) {
  const bool Valid = !Tag.empty() && Tag.size() <= 64 && std::all_of(Tag.begin(), Tag.end(), [](char C) {
    return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9') || C == '-' || C == '_';
  });
  if (!Valid)
    throw std::invalid_argument("temporary-name tag '" + Tag + "': 1 to 64 letters, digits, '-' or '_' are accepted");
  TempTag = Tag;
}

TTempNameTag::~TTempNameTag() { TempTag = FPrevious; }

void TReplaceFile::Open(const std::string& Name) {
  Discard();
  FName = Name;
  struct stat Existing {};
  const bool Exists = stat(Name.c_str(), &Existing) == 0;
  FTarget = FollowLinks(Name);
  // An existing file is not touched until Commit, but must be one we may write.
  if (Exists) {
    std::FILE* Old = std::fopen(FTarget.c_str(), "r+b");
    if (!Old) throw EInOutError::FromErrno(errno, "cannot open", Name, "for writing");
    std::fclose(Old);
  }
  for (int Attempt = 0; !FFile; ++Attempt) {
    FTempName = TempNameFor(FTarget);
    FFile = std::fopen(FTempName.c_str(), "wbx");  // x: fail if it exists
    if (!FFile) {
      const int Error = errno;
      FTempName.clear();
      if (Error != EEXIST || Attempt == 100) throw EInOutError::FromErrno(Error, "cannot create", Name);
    }
  }
  if (Exists) {
    // Owner first: changing it may clear the set-id bits that fchmod restores.
    const int Fd = fileno(FFile);
    if (fchown(Fd, Existing.st_uid, Existing.st_gid) != 0) (void)!fchown(Fd, static_cast<uid_t>(-1), Existing.st_gid);
    (void)!fchmod(Fd, Existing.st_mode & 07777);
  }
}

void TReplaceFile::Commit() {
  if (std::fflush(FFile) != 0 || fsync(fileno(FFile)) != 0)
    throw EInOutError::FromErrno(errno, "cannot write", FName);
  std::FILE* F = FFile;
  FFile = nullptr;
  if (std::fclose(F) != 0) throw EInOutError::FromErrno(errno, "cannot close", FName);
  if (std::rename(FTempName.c_str(), FTarget.c_str()) != 0)
    throw EInOutError::FromErrno(errno, "cannot replace", FName);
  FTempName.clear();
  SyncFolder(FTarget);
}

void TReplaceFile::Discard() noexcept {
  if (FFile) std::fclose(FFile);
  FFile = nullptr;
  if (!FTempName.empty()) std::remove(FTempName.c_str());
  FTempName.clear();
}

}  // namespace kestrum
