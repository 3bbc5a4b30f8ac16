#include "engine/IniFile.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <vector>

#include "engine/AsciiCase.h"
#include "engine/Encoding.h"
#include "engine/OpenFile.h"
#include "engine/Path.h"
#include "engine/TemporaryFiles.h"
#include "engine/UniqueFd.h"

namespace quillfen {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Writes all of `data` to `fd`; false with errno set on failure.
bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Reads the whole file at `path`. nullopt with `err` set when it cannot be
// read or is no regular file; a missing file (or a path through a non-folder)
// reads as empty.
std::optional<std::string> ReadWholeFile(const std::string& path, std::string& why) {
  // A folder, FIFO or device is no settings file (a FIFO would hang the
  // reading, a device could be endless or act when opened): never opened.
  struct stat st {};
  const int fd = OpenRegularFileAt(AT_FDCWD, path.c_str(), st);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::string();
    why = errno == EINVAL || errno == EISDIR ? "not a regular file" : ErrnoText(errno);
    return std::nullopt;
  }
  std::string content;
  // Read straight into its place: a file of 100 MB is held once, not copied
  // through ever larger buffers.
  if (st.st_size > 0) content.reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      why = ErrnoText(errno);
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    content.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

// The target of the symbolic link at `path` into `aim`; false when `path` is
// no link.
bool ReadLink(const std::string& path, std::string& aim) {
  std::vector<char> buffer(256);
  for (;;) {
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n < 0) return false;
    if (static_cast<size_t>(n) < buffer.size()) {
      aim.assign(buffer.data(), static_cast<size_t>(n));
      return true;
    }
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace

IniFile::IniFile(std::string path) : path_(std::move(path)) {
  Load();
}

void IniFile::Load() {
  std::string why;
  std::optional<std::string> content = ReadWholeFile(path_, why);
  if (!content) {
    // Writing would replace a file we could not read with only the new keys.
    load_error_ = Refusal(Status::Code::kInvalid, "cannot read the file: " + why);
    content.emplace();
  }
  content_ = std::move(*content);
  Parse();
}

std::string_view IniFile::View(uint64_t at, size_t size) const {
  const std::string& buffer = (at & kMade) != 0 ? made_ : content_;
  return std::string_view(buffer).substr(static_cast<size_t>(at & ~kMade), size);
}

std::string_view IniFile::Name(const Section& section) const {
  return Text(section.header).substr(section.nameAt, section.nameSize);
}

uint64_t IniFile::Keep(std::string_view text) {
  const uint64_t at = kMade | made_.size();
  made_.append(text);
  return at;
}

void IniFile::Parse() {
  sections_.assign(1, Section{});
  made_.clear();
  const std::string_view content(content_);
  const bool has_bom = content.substr(0, kBom.size()) == kBom;
  const std::string_view body = has_bom ? content.substr(kBom.size()) : content;

  // Lines end in CR LF, LF or CR alone (as older Mac editors write them). A
  // line that ended in a CR alone is written back so, which keeps such a file
  // as it was; every other line is written with CR LF.
  auto forEachLine = [body](auto&& use) {
    std::string_view rest = body;
    while (!rest.empty()) {
      // (find_first_of would search the two characters once per byte.)
      size_t end = 0;
      while (end < rest.size() && rest[end] != '\r' && rest[end] != '\n') ++end;
      if (end == rest.size()) {
        use(rest, false);
        break;
      }
      const bool crlf = rest[end] == '\r' && end + 1 < rest.size() && rest[end + 1] == '\n';
      use(rest.substr(0, end), rest[end] == '\r' && !crlf);
      rest.remove_prefix(end + (crlf ? 2 : 1));
    }
  };

  // Lines are kept as places with 32-bit lengths: a file with a line of 2 GiB
  // or more (its text may grow by half when decoded) or with 4 billion
  // sections is refused like an unreadable one.
  bool fits = true;
  size_t headers = 0;
  forEachLine([&](std::string_view line, bool) {
    if (line.size() >= kNoEq / 2) fits = false;  // its decoded text may be half as long again
    const size_t first = line.find_first_not_of(" \t");
    if (first != std::string_view::npos && line[first] == '[') ++headers;
  });
  if (!fits || headers >= kNoEq - 1) {
    load_error_ = Refusal(Status::Code::kInvalid,
                          "cannot read the file: a line of 2 GiB or more, or too many sections");
    content_.clear();
    bom_ = false;
    encoding_ = Encoding::kUtf8;
    RebuildIndex();
    return;
  }
  sections_.reserve(headers + 1);

  // A byte order mark declares UTF-8. Without one, the file is UTF-8 when
  // more of its non-ASCII lines are valid UTF-8 than not: Japanese text in
  // code page 932 is practically never valid UTF-8, so one damaged line does
  // not turn a UTF-8 file into 932. Lines that do not decode are kept raw.
  const bool all_valid = IsValidUtf8(body);
  bool utf8 = has_bom || all_valid;
  if (!utf8) {
    size_t valid = 0, invalid = 0;
    forEachLine([&](std::string_view line, bool) {
      const bool ascii = std::all_of(line.begin(), line.end(),
                                     [](char c) { return static_cast<unsigned char>(c) < 0x80; });
      if (!ascii) ++(IsValidUtf8(line) ? valid : invalid);
    });
    utf8 = valid > invalid;
  }
  encoding_ = utf8 ? Encoding::kUtf8 : Encoding::kCp932;
  bom_ = has_bom;
  forEachLine([&](std::string_view line, bool crEnd) { AddLine(line, all_valid, crEnd); });
  RebuildIndex();
}

void IniFile::AddLine(std::string_view bytes, bool known_valid, bool crEnd) {
  const uint64_t at = static_cast<uint64_t>(bytes.data() - content_.data());
  const auto size = static_cast<uint32_t>(bytes.size());
  Line line;
  line.crEnd = crEnd;
  line.text = at;
  line.textSize = size;
  if (encoding_ == Encoding::kCp932) {
    if (std::optional<std::string> text = Cp932ToUtf8(bytes)) {
      line.text = Keep(*text);
      line.textSize = static_cast<uint32_t>(text->size());
      line.bytes = at;
      line.bytesSize = size;
    } else if (IsValidUtf8(bytes)) {
      // A UTF-8 line in a 932 file (edited with another tool): read it as
      // UTF-8, so that it reads the same once the file turns to UTF-8.
      line.bytes = at;
      line.bytesSize = size;
    } else {
      line.raw = true;
    }
  } else {
    line.raw = !known_valid && !IsValidUtf8(bytes);
  }

  const std::string_view text = Text(line);
  const size_t first = text.find_first_not_of(" \t");
  if (first != std::string_view::npos && text[first] == '[') {
    // A section header: the name runs from after '[' to the first ']'.
    const size_t close = text.find(']', first + 1);
    Section section;
    section.nameAt = static_cast<uint32_t>(first + 1);
    section.nameSize =
        static_cast<uint32_t>((close == std::string_view::npos ? text.size() : close) - first - 1);
    section.matchable = !line.raw;
    section.header = line;
    sections_.push_back(std::move(section));
    return;
  }
  // Comments and lines without '=' are kept as they are and never matched.
  if (first != std::string_view::npos && text[first] != ';') {
    const size_t eq = text.find('=');
    if (eq != std::string_view::npos) line.eq = static_cast<uint32_t>(eq);
  }
  sections_.back().body.push_back(line);
}

namespace {

// FNV-1a over the ASCII-lower-cased bytes.
uint64_t FoldedHash(std::string_view s) {
  uint64_t h = 14695981039346656037ull;
  for (char c : s) {
    h ^= static_cast<unsigned char>(LowerAscii(c));
    h *= 1099511628211ull;
  }
  return h;
}

}  // namespace

void IniFile::RebuildIndex() {
  size_t wanted = 16;
  while (wanted < 2 * sections_.size()) wanted *= 2;
  slots_.assign(wanted, 0);
  indexed_ = 0;
  for (size_t i = 1; i < sections_.size(); ++i) {
    sections_[i].first = false;
    if (sections_[i].matchable) AddToIndex(i);
  }
}

void IniFile::AddToIndex(size_t number) {
  if (2 * (indexed_ + 1) > slots_.size()) {
    RebuildIndex();  // also indexes `number`, already in sections_
    return;
  }
  const std::string_view name = Name(sections_[number]);
  const uint64_t hash = FoldedHash(name);
  uint64_t& slot = slots_[Slot(name, hash)];
  if (slot != 0) return;  // an earlier section has the name
  slot = (hash & ~uint64_t{UINT32_MAX}) | (number + 1);
  sections_[number].first = true;
  ++indexed_;
}

size_t IniFile::Slot(std::string_view name, uint64_t hash) const {
  // The upper half of the hash is kept in the slot: most slots of other
  // names are passed over without reading their sections.
  const uint64_t tag = hash & ~uint64_t{UINT32_MAX};
  const size_t mask = slots_.size() - 1;
  for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
    const uint64_t held = slots_[i];
    if (held == 0) return i;
    if ((held & ~uint64_t{UINT32_MAX}) == tag &&
        SameIgnoringAsciiCase(Name(sections_[(held & UINT32_MAX) - 1]), name)) {
      return i;
    }
  }
}

IniFile::Section* IniFile::Find(std::string_view section) {
  return const_cast<Section*>(static_cast<const IniFile*>(this)->Find(section));
}

const IniFile::Section* IniFile::Find(std::string_view section) const {
  const uint64_t held = slots_[Slot(section, FoldedHash(section))];
  return held == 0 ? nullptr : &sections_[(held & UINT32_MAX) - 1];
}

std::vector<std::string> IniFile::Sections() const {
  std::vector<std::string> names;
  for (size_t i = 1; i < sections_.size(); ++i) {
    // Only the first of sections that share a name ignoring case.
    if (sections_[i].first) names.emplace_back(Name(sections_[i]));
  }
  return names;
}

void IniFile::ForEachSection(
    std::span<const std::string_view> keys,
    const std::function<void(std::string_view name, std::span<const std::string_view> values)>&
        visit) const {
  std::vector<std::string_view> values(keys.size());
  for (size_t i = 1; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (!s.first) continue;
    for (size_t k = 0; k < keys.size(); ++k) {
      const Line* line = FindKey(s, keys[k]);
      values[k] = line == nullptr ? std::string_view() : Text(*line).substr(line->eq + 1);
    }
    visit(Name(s), values);
  }
}

std::string IniFile::ReadString(std::string_view section, std::string_view key,
                                std::string_view def) const {
  const Section* s = Find(section);
  const Line* line = s == nullptr ? nullptr : FindKey(*s, key);
  return std::string(line == nullptr ? def : Text(*line).substr(line->eq + 1));
}

DateTime IniFile::ReadDateTime(std::string_view section, std::string_view key, DateTime def) const {
  return ParseDateTime(ReadString(section, key, "")).value_or(def);
}

Status IniFile::Refusal(Status::Code code, std::string_view reason) const {
  return PathError(path_, code, reason);
}

void IniFile::SetText(Line& line, std::string_view text) {
  line.text = Keep(text);
  line.textSize = static_cast<uint32_t>(text.size());
  line.raw = false;
  if (encoding_ != Encoding::kCp932) return;
  if (std::optional<std::string> bytes = Utf8ToCp932(text)) {
    line.bytes = Keep(*bytes);
    line.bytesSize = static_cast<uint32_t>(bytes->size());
    return;
  }
  // Code page 932 cannot hold this text: the whole file goes to UTF-8. Lines
  // that never decoded keep their bytes; a byte order mark then tells the
  // next reading that the file is UTF-8 in spite of them.
  encoding_ = Encoding::kUtf8;
  auto forget = [&](Line& l) {
    l.bytes = 0;
    l.bytesSize = 0;
    if (l.raw) bom_ = true;
  };
  for (Section& s : sections_) {
    forget(s.header);
    for (Line& l : s.body) forget(l);
  }
  line.bytes = 0;
  line.bytesSize = 0;
}

const IniFile::Line* IniFile::FindKey(const Section& section, std::string_view key) const {
  const std::string_view wanted = TrimBlanks(key);
  for (const Line& line : section.body) {
    if (line.raw || line.eq == kNoEq) continue;
    if (SameIgnoringAsciiCase(TrimBlanks(Text(line).substr(0, line.eq)), wanted)) return &line;
  }
  return nullptr;
}

IniFile::Line* IniFile::FindKey(Section& section, std::string_view key) {
  return const_cast<Line*>(FindKey(static_cast<const Section&>(section), key));
}

Status IniFile::RefuseUnstorable(const Section* existing, std::string_view section,
                                 std::string_view key, std::string_view value) const {
  // A name or value read from a hand-edited file may hold a NUL byte. Writing
  // back exactly what is stored changes nothing and must not fail, or one odd
  // byte would keep every other setting from being saved; anything new that
  // holds a line break or a NUL is refused.
  auto holdsBreak = [](std::string_view text) {
    return text.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
  };
  const Line* stored = existing == nullptr ? nullptr : FindKey(*existing, key);
  const bool storedAlready = stored != nullptr && Text(*stored).substr(stored->eq + 1) == value;
  if ((existing == nullptr && holdsBreak(section)) ||
      (!storedAlready && (holdsBreak(key) || holdsBreak(value)))) {
    return Refusal(Status::Code::kInvalid, "line break or NUL character in a name or value");
  }
  for (std::string_view text : {section, key, value}) {
    if (!IsValidUtf8(text)) return Refusal(Status::Code::kInvalid, "text that is not valid UTF-8");
  }
  const std::string_view name = TrimBlanks(key);
  if (section.find(']') != std::string_view::npos) {
    return Refusal(Status::Code::kInvalid, "']' in a section name");
  }
  if (name.empty() || name.find('=') != std::string_view::npos || name.front() == '[' ||
      name.front() == ';') {
    return Refusal(Status::Code::kInvalid, "unusable key name");
  }
  // Lines are kept with 32-bit lengths, also in their code page 932 form.
  if (section.size() + 2 >= kNoEq / 2 || key.size() + value.size() + 1 >= kNoEq / 2) {
    return Refusal(Status::Code::kInvalid, "a name or value too long");
  }
  return Status::Ok();
}

IniFile::Section& IniFile::SectionToWrite(Section* found, std::string_view section) {
  if (found != nullptr) return *found;
  sections_.emplace_back();
  Section& s = sections_.back();
  std::string header;
  header.reserve(section.size() + 2);
  header.append("[").append(section).append("]");
  SetText(s.header, header);
  s.nameAt = 1;
  s.nameSize = static_cast<uint32_t>(section.size());
  s.matchable = true;
  AddToIndex(sections_.size() - 1);
  return s;
}

void IniFile::ReplaceValue(Line& line, std::string_view value) {
  const std::string_view old = Text(line);
  if (old.substr(line.eq + 1) == value && encoding_ == Encoding::kUtf8) return;  // no change
  // The key keeps its spelling (and its bytes).
  std::string text;
  text.reserve(line.eq + 1 + value.size());
  text.append(old.substr(0, line.eq + 1)).append(value);
  if (encoding_ == Encoding::kCp932) {
    if (std::optional<std::string> encoded = Utf8ToCp932(value)) {
      const std::string_view oldBytes = Bytes(line);
      std::string bytes(oldBytes.substr(0, oldBytes.find('=') + 1));
      bytes += *encoded;
      // Only when the kept key bytes and the new value read back as one text
      // (not so for a key line that was read as UTF-8).
      if (Cp932ToUtf8(bytes) == text) {
        if (bytes == oldBytes && text == old) return;  // nothing changes
        line.bytes = Keep(bytes);
        line.bytesSize = static_cast<uint32_t>(bytes.size());
        line.text = Keep(text);
        line.textSize = static_cast<uint32_t>(text.size());
        return;
      }
    }
  }
  SetText(line, text);
}

void IniFile::AddKey(Section& section, std::string_view key, std::string_view value) {
  // Right after the last key line of the section.
  size_t at = 0;
  for (size_t i = 0; i < section.body.size(); ++i) {
    const Line& line = section.body[i];
    if (line.eq != kNoEq || (line.raw && Text(line).find('=') != std::string_view::npos)) {
      at = i + 1;
    }
  }
  auto inserted =
      section.body.insert(section.body.begin() + static_cast<std::ptrdiff_t>(at), Line{});
  std::string text;
  text.reserve(key.size() + 1 + value.size());
  text.append(key).append("=").append(value);
  SetText(*inserted, text);
  inserted->eq = static_cast<uint32_t>(key.size());
}

Status IniFile::WriteString(std::string_view section, std::string_view key,
                            std::string_view value) {
  if (!load_error_.ok()) return load_error_;
  Section* existing = Find(section);
  if (Status refused = RefuseUnstorable(existing, section, key, value); !refused.ok()) {
    return refused;
  }
  Section& s = SectionToWrite(existing, section);
  if (Line* line = FindKey(s, key)) {
    ReplaceValue(*line, value);
  } else {
    AddKey(s, TrimBlanks(key), value);
  }
  return Commit();
}

Status IniFile::WriteDateTime(std::string_view section, std::string_view key, DateTime dt) {
  return WriteString(section, key, FormatDateTime(dt));
}

Status IniFile::EraseSection(std::string_view section) {
  if (!load_error_.ok()) return load_error_;
  const size_t before = sections_.size();
  sections_.erase(std::remove_if(sections_.begin() + 1, sections_.end(),
                                 [&](const Section& s) {
                                   return s.matchable && SameIgnoringAsciiCase(Name(s), section);
                                 }),
                  sections_.end());
  if (sections_.size() != before) RebuildIndex();
  return Commit();
}

void IniFile::BeginUpdate() {
  ++update_depth_;
}

Status IniFile::EndUpdate() {
  if (update_depth_ > 0) --update_depth_;
  if (update_depth_ > 0 || !pending_) return Status::Ok();
  pending_ = false;
  return WriteFile();
}

Status IniFile::Commit() {
  if (update_depth_ > 0) {
    pending_ = true;
    return Status::Ok();
  }
  return WriteFile();
}

bool IniFile::WriteContent(int fd) const {
  // Written in pieces of about a megabyte: the text is never held twice.
  constexpr size_t kPiece = size_t{1} << 20;
  std::string out;
  out.reserve(kPiece + 4096);
  if (bom_) out += kBom;
  auto emit = [&](const Line& line) {
    out += encoding_ == Encoding::kCp932 && !line.raw ? Bytes(line) : Text(line);
    out += line.crEnd ? "\r" : "\r\n";
    if (out.size() < kPiece) return true;
    const bool written = WriteAll(fd, out);
    out.clear();
    return written;
  };
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (i > 0 && !emit(sections_[i].header)) return false;
    for (const Line& line : sections_[i].body) {
      if (!emit(line)) return false;
    }
  }
  return WriteAll(fd, out);
}

Status IniFile::FileToReplace(std::string& target) const {
  // Through a symbolic link the file it names is written, and the link stays.
  // Only a link of this user's own (or root's) is followed: one planted by
  // another user in a folder others may write would steer the write to any
  // file this process may write.
  target = path_;
  for (int hops = 0;; ++hops) {
    std::string aim;
    if (!ReadLink(target, aim)) return Status::Ok();
    if (hops == 40) return PathError(path_, ELOOP);
    struct stat link {};
    if (::lstat(target.c_str(), &link) != 0) return PathError(path_, errno);
    if (link.st_uid != ::geteuid() && link.st_uid != 0) {
      return Refusal(Status::Code::kPermission, "a symbolic link of another user");
    }
    target = !aim.empty() && aim.front() == '/' ? aim : JoinPath(FolderOfFull(target), aim);
  }
}

Status IniFile::CheckReplaceable(int folder, const std::string& name, struct stat& old,
                                 bool& existed) const {
  existed = ::fstatat(folder, name.c_str(), &old, AT_SYMLINK_NOFOLLOW) == 0;
  if (!existed) return Status::Ok();
  // Never rename over a folder, FIFO or device that took the file's place. A
  // file the user made read-only stays as it is, even for root, and so does
  // one this process may not write.
  if (!S_ISREG(old.st_mode)) return Refusal(Status::Code::kInvalid, "not a regular file");
  if ((old.st_mode & 0222) == 0) return Refusal(Status::Code::kPermission, "the file is read-only");
  if (::faccessat(folder, name.c_str(), W_OK, AT_EACCESS) != 0) return PathError(path_, errno);
  return Status::Ok();
}

Status IniFile::Replace(int folder, const std::string& name, const struct stat* old) const {
  std::string temp;
  UniqueFd out;
  for (int attempt = 0; attempt < 100 && !out.valid(); ++attempt) {
    temp = NewTemporaryName();
    out.reset(
        ::openat(folder, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!out.valid() && errno != EEXIST) break;
  }
  if (!out.valid()) return PathError(path_, errno);
  auto fail = [&](int err) {
    out.reset();
    ::unlinkat(folder, temp.c_str(), 0);
    return PathError(path_, err);
  };
  // The new file keeps the old one's owner (where this process may give it)
  // and permission bits; a first file gets the usual bits for a new file.
  if (old != nullptr) {
    if ((old->st_uid != ::geteuid() || old->st_gid != ::getegid()) &&
        ::fchown(out.get(), old->st_uid, old->st_gid) != 0) {
      // Not permitted: the file stays ours.
    }
    ::fchmod(out.get(), old->st_mode & 0777);
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(out.get(), 0666 & ~mask);
  }
  if (!WriteContent(out.get())) return fail(errno);
  if (::fsync(out.get()) != 0) return fail(errno);
  // close() is where some file systems report a failed write.
  if (::close(out.release()) != 0) return fail(errno);
  if (::renameat(folder, temp.c_str(), folder, name.c_str()) != 0) return fail(errno);
  // The rename itself on the disk: a write the disk reports lost fails,
  // though the new file already shows. A folder that cannot be flushed by
  // itself (EINVAL) has nothing more to give.
  if (::fsync(folder) != 0 && errno != EINVAL && errno != EOPNOTSUPP)
    return PathError(path_, errno);
  return Status::Ok();
}

Status IniFile::WriteFile() {
  std::string target;
  if (Status resolved = FileToReplace(target); !resolved.ok()) return resolved;
  const std::string name(LastName(target));
  const UniqueFd folder(::open(FolderOfFull(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!folder.valid()) return PathError(path_, errno);
  struct stat old {};
  bool existed = false;
  if (Status refused = CheckReplaceable(folder.get(), name, old, existed); !refused.ok()) {
    return refused;
  }
  // What a write killed earlier left beside the file.
  if (!leftoversRemoved_) {
    RemoveLeftoverTemporaryFiles(folder.get(), name);
    leftoversRemoved_ = true;
  }
  return Replace(folder.get(), name, existed ? &old : nullptr);
}

}  // namespace quillfen
