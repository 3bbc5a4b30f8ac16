// Prepares the folder trees the backup benchmark runs on.
//
//   gen_tree create  --files N --seed S DIR
//       Writes a new tree of N files in about N/10 folders, at most 6 levels
//       deep: mostly small files (0-16 KiB), about one in 2000 of 1-8 MiB.
//       The same N and seed give the same names, sizes, contents and
//       modification times on every machine. The tree is written under
//       DIR.partial and renamed to DIR when complete, so an existing DIR is
//       always a whole tree.
//   gen_tree mutate  --files N --seed S --percent P --list OUT DIR
//       Changes P percent of the files of a tree made by `create` with the
//       same N and seed: new content of another size and a modification time
//       one day later. Each changed file is written as a new file and renamed
//       over the old one, so a hard-linked copy of the tree keeps the old
//       file. OUT receives the changed paths, relative to DIR, one a line.
//   gen_tree reset   --list LIST FROM TO
//       Copies each listed relative path from FROM onto TO in place (content
//       and modification time): puts back the files a run has changed.
//   gen_tree dropcache DIR...
//       Asks the kernel to drop the cached pages of every file under each DIR
//       (the data must have been written back first, e.g. by sync).
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

// splitmix64: small, fast and fully specified, so trees are identical
// everywhere (the standard library's distributions are not).
struct Rng {
  uint64_t state;
  explicit Rng(uint64_t seed) : state(seed) {}
  uint64_t Next() {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  // Uniform in [0, n).
  uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
  // Uniform in [0, 1).
  double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
};

uint64_t Mix(uint64_t a, uint64_t b) {
  Rng r(a * 0x2545F4914F6CDD1Dull ^ b);
  return r.Next();
}

constexpr int kMaxDepth = 6;
constexpr int64_t kBaseTime = 1704067200;  // 2024-01-01 00:00:00 UTC
constexpr int64_t kOneDay = 86400;

struct FileSpec {
  std::string relPath;  // begins with '/'
  uint64_t size;
  int64_t mtimeSec;
  long mtimeNsec;
  uint64_t contentSeed;
};

struct TreePlan {
  std::vector<std::string> folders;  // relative, "" for the root, parents first
  std::vector<FileSpec> files;
};

// Joins a prefix, a number and a suffix. (Built step by step: GCC 12 warns
// wrongly about "literal" + std::string&& at -O3.)
std::string Name(const char* prefix, uint64_t index, const char* suffix = "") {
  std::string name = prefix;
  name += std::to_string(index);
  name += suffix;
  return name;
}

std::string FolderName(uint64_t index, uint64_t r) {
  // A few names with blanks, a comma or Japanese text, as real trees have.
  switch (r % 16) {
    case 0:
      return Name("Folder ", index);
    case 1:
      return Name("写真_", index);
    case 2:
      return Name(".cache", index);
    default:
      return Name("d", index);
  }
}

std::string FileName(uint64_t index, uint64_t r) {
  static const char* const kExtensions[] = {".txt", ".jpg", ".dat", ".c",   ".html",
                                            ".doc", ".xls", ".tmp", ".png", ""};
  const char* ext = kExtensions[r % (sizeof kExtensions / sizeof kExtensions[0])];
  switch ((r >> 8) % 32) {
    case 0:
      return Name("report ", index, ext);
    case 1:
      return Name("メモ", index, ext);
    case 2:
      return Name(".f", index, ext);
    case 3:
      return Name("a,b", index, ext);
    default:
      return Name("f", index, ext);
  }
}

uint64_t FileSize(Rng& rng) {
  if (rng.Below(2000) == 0) return (1ull << 20) + rng.Below(7ull << 20);
  double u = rng.Unit();
  return static_cast<uint64_t>(16384.0 * u * u * u);
}

// The whole tree, computed from N and the seed alone.
TreePlan MakePlan(uint64_t fileCount, uint64_t seed) {
  TreePlan plan;
  Rng rng(Mix(seed, 1));
  uint64_t folderCount = fileCount / 10 > 0 ? fileCount / 10 : 1;
  std::vector<int> depth{0};
  std::vector<uint64_t> canHaveChildren{0};
  plan.folders.push_back("");
  for (uint64_t i = 1; i < folderCount; ++i) {
    uint64_t parent = canHaveChildren[rng.Below(canHaveChildren.size())];
    int d = depth[parent] + 1;
    plan.folders.push_back(plan.folders[parent] + "/" + FolderName(i, rng.Next()));
    depth.push_back(d);
    if (d < kMaxDepth) canHaveChildren.push_back(i);
  }
  for (uint64_t i = 0; i < fileCount; ++i) {
    FileSpec f;
    uint64_t folder = rng.Below(folderCount);
    f.relPath = plan.folders[folder] + "/" + FileName(i, rng.Next());
    f.size = FileSize(rng);
    f.mtimeSec = kBaseTime + static_cast<int64_t>(rng.Below(365 * kOneDay));
    f.mtimeNsec = static_cast<long>(rng.Below(1000000000));
    f.contentSeed = Mix(seed, 1000 + i);
    plan.files.push_back(std::move(f));
  }
  return plan;
}

bool Fail(const std::string& what, int err) {
  std::fprintf(stderr, "gen_tree: %s: %s\n", what.c_str(), std::strerror(err));
  return false;
}

// Writes `size` pseudo-random bytes from `seed` to `path` (created or
// truncated) and sets its modification time.
bool WriteFile(const std::string& path, uint64_t size, uint64_t seed, int64_t sec, long nsec,
               bool exclusive) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | (exclusive ? O_EXCL : 0),
                  0644);
  if (fd < 0) return Fail(path, errno);
  static std::vector<uint64_t> buffer(1 << 17);  // 1 MiB
  uint64_t x = seed | 1;
  uint64_t left = size;
  while (left > 0) {
    for (auto& w : buffer) {  // xorshift64
      x ^= x << 13;
      x ^= x >> 7;
      x ^= x << 17;
      w = x;
    }
    size_t chunk = left < buffer.size() * 8 ? left : buffer.size() * 8;
    const char* p = reinterpret_cast<const char*>(buffer.data());
    size_t done = 0;
    while (done < chunk) {
      ssize_t n = ::write(fd, p + done, chunk - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        int err = errno;
        ::close(fd);
        return Fail(path, err);
      }
      done += static_cast<size_t>(n);
    }
    left -= chunk;
  }
  timespec times[2] = {{sec, nsec}, {sec, nsec}};
  if (::futimens(fd, times) != 0) {
    int err = errno;
    ::close(fd);
    return Fail(path, err);
  }
  if (::close(fd) != 0) return Fail(path, errno);
  return true;
}

bool MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) return Fail(path, errno);
  return true;
}

// Removes a tree left over by an interrupted run of `create`.
void RemoveTree(const std::string& path) {
  auto remove = [](const char* p, const struct stat*, int, FTW*) {
    return ::remove(p) == 0 ? 0 : -1;
  };
  if (::nftw(path.c_str(), remove, 64, FTW_DEPTH | FTW_PHYS) != 0)
    std::fprintf(stderr, "gen_tree: could not remove %s\n", path.c_str());
}

int Create(uint64_t fileCount, uint64_t seed, const std::string& dir) {
  struct stat st;
  if (::stat(dir.c_str(), &st) == 0) {
    std::fprintf(stderr, "gen_tree: %s exists already\n", dir.c_str());
    return 1;
  }
  std::string partial = dir + ".partial";
  if (::stat(partial.c_str(), &st) == 0) RemoveTree(partial);
  TreePlan plan = MakePlan(fileCount, seed);
  for (const auto& folder : plan.folders)
    if (!MakeFolder(partial + folder)) return 1;
  uint64_t bytes = 0;
  for (const auto& f : plan.files) {
    if (!WriteFile(partial + f.relPath, f.size, f.contentSeed, f.mtimeSec, f.mtimeNsec, true))
      return 1;
    bytes += f.size;
  }
  if (::rename(partial.c_str(), dir.c_str()) != 0) {
    Fail(dir, errno);
    return 1;
  }
  std::printf("%s: %zu files, %zu folders, %.1f MiB\n", dir.c_str(), plan.files.size(),
              plan.folders.size(), static_cast<double>(bytes) / (1 << 20));
  return 0;
}

int Mutate(uint64_t fileCount, uint64_t seed, double percent, const std::string& listPath,
           const std::string& dir) {
  TreePlan plan = MakePlan(fileCount, seed);
  Rng rng(Mix(seed, 2));
  std::ofstream list(listPath, std::ios::trunc);
  if (!list) {
    Fail(listPath, errno);
    return 1;
  }
  uint64_t changed = 0;
  for (uint64_t i = 0; i < plan.files.size(); ++i) {
    if (rng.Unit() * 100.0 >= percent) continue;
    const FileSpec& f = plan.files[i];
    std::string path = dir + f.relPath;
    std::string temp = path + ".mutating";
    uint64_t size = f.size + 1 + rng.Below(4096);
    if (!WriteFile(temp, size, Mix(f.contentSeed, 7), f.mtimeSec + kOneDay, f.mtimeNsec, false))
      return 1;
    if (::rename(temp.c_str(), path.c_str()) != 0) {
      Fail(path, errno);
      return 1;
    }
    list << f.relPath << '\n';
    ++changed;
  }
  list.close();
  if (!list) {
    Fail(listPath, EIO);
    return 1;
  }
  std::printf("%s: %lu of %zu files changed\n", dir.c_str(), static_cast<unsigned long>(changed),
              plan.files.size());
  return 0;
}

// Copies one file's content and modification time onto an existing path.
bool CopyInPlace(const std::string& from, const std::string& to) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return Fail(from, errno);
  struct stat st;
  if (::fstat(in, &st) != 0) {
    int err = errno;
    ::close(in);
    return Fail(from, err);
  }
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    int err = errno;
    ::close(in);
    return Fail(to, err);
  }
  static std::vector<char> buffer(1 << 20);
  bool ok = true;
  for (;;) {
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ok = Fail(from, errno);
      break;
    }
    if (n == 0) break;
    for (ssize_t done = 0; done < n;) {
      ssize_t w = ::write(out, buffer.data() + done, static_cast<size_t>(n - done));
      if (w < 0 && errno == EINTR) continue;
      if (w < 0) {
        ok = Fail(to, errno);
        break;
      }
      done += w;
    }
    if (!ok) break;
  }
  timespec times[2] = {st.st_atim, st.st_mtim};
  if (ok && ::futimens(out, times) != 0) ok = Fail(to, errno);
  ::close(in);
  if (::close(out) != 0 && ok) ok = Fail(to, errno);
  return ok;
}

int Reset(const std::string& listPath, const std::string& from, const std::string& to) {
  std::ifstream list(listPath);
  if (!list) {
    Fail(listPath, errno);
    return 1;
  }
  std::string rel;
  while (std::getline(list, rel)) {
    if (rel.empty()) continue;
    if (!CopyInPlace(from + rel, to + rel)) return 1;
  }
  return 0;
}

void DropCache(const std::string& dir) {
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    std::string path = dir + "/" + e->d_name;
    if (e->d_type == DT_DIR) {
      DropCache(path);
    } else if (e->d_type == DT_REG) {
      int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
      if (fd >= 0) {
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
        ::close(fd);
      }
    }
  }
  ::closedir(d);
}

int Usage() {
  std::fputs(
      "usage: gen_tree create --files N --seed S DIR\n"
      "       gen_tree mutate --files N --seed S --percent P --list OUT DIR\n"
      "       gen_tree reset --list LIST FROM TO\n"
      "       gen_tree dropcache DIR...\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string mode = argv[1];
  uint64_t files = 0, seed = 1;
  double percent = 1.0;
  std::string list;
  std::vector<std::string> rest;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    bool hasValue = i + 1 < argc;
    if (a == "--files" && hasValue) {
      files = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--seed" && hasValue) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--percent" && hasValue) {
      percent = std::strtod(argv[++i], nullptr);
    } else if (a == "--list" && hasValue) {
      list = argv[++i];
    } else if (a.rfind("--", 0) == 0) {
      return Usage();
    } else {
      rest.push_back(a);
    }
  }
  if (mode == "create" && files > 0 && rest.size() == 1) return Create(files, seed, rest[0]);
  if (mode == "mutate" && files > 0 && !list.empty() && rest.size() == 1)
    return Mutate(files, seed, percent, list, rest[0]);
  if (mode == "reset" && !list.empty() && rest.size() == 2) return Reset(list, rest[0], rest[1]);
  if (mode == "dropcache" && !rest.empty()) {
    for (const auto& dir : rest) DropCache(dir);
    return 0;
  }
  return Usage();
}
