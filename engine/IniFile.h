// The settings file: INI text read and written by our own code so that its
// form is exactly kept (CR LF lines, "key=value", names matched ignoring ASCII
// case, values replaced in place, new keys at the end of their section, new
// sections at the end of the file).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/DateTime.h"
#include "engine/Status.h"

namespace quillfen {

class IniFile {
 public:
  // Reads the file at `path`. A missing file reads as empty; it is created by
  // the first write. An existing file that cannot be read, or a folder, FIFO
  // or device in its place, also reads as empty, but every write then fails
  // so that it is never replaced. A file is read as UTF-8 when it starts with
  // a byte order mark or most of its non-ASCII lines are valid UTF-8, else as
  // code page 932, and is written back in that encoding; text that code page
  // 932 cannot hold turns the file to UTF-8. Lines that decode in neither are
  // kept byte for byte and never matched. All text handed in and out is UTF-8.
  explicit IniFile(std::string path);

  const std::string& path() const { return path_; }

  // Section names in file order, as first written.
  std::vector<std::string> Sections() const;

  // Calls `visit` for each section Sections() lists, in that order, with its
  // name and the values of `keys` in it as ReadString gives them ("" for a
  // missing key); the views are valid during the call. One pass over the
  // sections, none looked up by name: what reads every set of a large file.
  void ForEachSection(
      std::span<const std::string_view> keys,
      const std::function<void(std::string_view name, std::span<const std::string_view> values)>&
          visit) const;

  // The value of `key` in `section` exactly as stored after '=', or `def`.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view def) const;

  // The parsed date-time under `key`, or `def` when missing or unreadable.
  DateTime ReadDateTime(std::string_view section, std::string_view key, DateTime def) const;

  // Sets `key` in `section` (adding the key or the section at the end as
  // needed) and writes the file. On failure the error names the file
  // ("<path>: <reason>") and the file on disk is unchanged. Names and values
  // that could not be read back as given are refused (kind kInvalid) and
  // nothing changes: a line break or NUL anywhere, text that is not UTF-8,
  // ']' in a section name, a key that is empty, holds '=' or starts with '['
  // or ';'. A file the user made read-only (no write bit at all, so also for
  // root) or that this process may not write is refused, never replaced.
  Status WriteString(std::string_view section, std::string_view key, std::string_view value);

  // Writes `dt` in the text form of FormatDateTime.
  Status WriteDateTime(std::string_view section, std::string_view key, DateTime dt);

  // Removes the section with all its keys and writes the file. Erasing a
  // missing section still writes (and so still fails on an unwritable file).
  Status EraseSection(std::string_view section);

  // Between BeginUpdate and EndUpdate, writes change only the text in memory;
  // EndUpdate writes the file once. Used where one handler writes many keys.
  void BeginUpdate();
  Status EndUpdate();

 private:
  // Text is kept in two buffers: the file as read (`content_`, never changed
  // afterwards) and the text made since (`made_`, only appended to). A place
  // is an offset into the first, or with kMade set into the second; lines and
  // names are such places, so a large file costs little more than its bytes.
  static constexpr uint64_t kMade = uint64_t{1} << 63;
  static constexpr uint32_t kNoEq = UINT32_MAX;
  // One line of the file, without its line ending.
  struct Line {
    uint64_t text = 0;   // its UTF-8 text; for a raw line, its bytes
    uint64_t bytes = 0;  // its code page 932 form (only while the file is in 932)
    uint32_t textSize = 0;
    uint32_t bytesSize = 0;
    uint32_t eq = kNoEq;  // position of '=' in the text for a key line
    bool raw = false;     // did not decode: written back as it was, never matched
    bool crEnd = false;   // ended in a CR alone, and is written back so
  };
  // A section: its header line and the lines up to the next header. The
  // first section of `sections_` holds the lines before any header.
  struct Section {
    Line header;
    uint32_t nameAt = 0;  // the name, as spelled, within the header's text
    uint32_t nameSize = 0;
    bool matchable = false;  // a decoded header that reads and writes may use
    bool first = false;      // the first matchable section of its name: the one used
    std::vector<Line> body;
  };
  enum class Encoding { kUtf8, kCp932 };

  std::string_view View(uint64_t at, size_t size) const;
  std::string_view Text(const Line& line) const { return View(line.text, line.textSize); }
  std::string_view Bytes(const Line& line) const { return View(line.bytes, line.bytesSize); }
  std::string_view Name(const Section& section) const;
  // Appends `text` to the made text and returns its place.
  uint64_t Keep(std::string_view text);

  void Load();
  void Parse();
  // Adds the line at `bytes` (a view into content_); `known_valid` when it is
  // known to be UTF-8, `crEnd` when it ended in a CR alone.
  void AddLine(std::string_view bytes, bool known_valid, bool crEnd);
  // The index of the sections by name: an open-addressed table, hashed on
  // the ASCII-lower-cased name, holding for each name the first matchable
  // section of that name. A slot holds the section's number + 1 in its lower
  // half (0 for a free slot) and the upper half of the name's hash.
  void RebuildIndex();
  void AddToIndex(size_t number);
  // The slot of `name` (with hash `hash`), or the free slot it would take.
  size_t Slot(std::string_view name, uint64_t hash) const;
  Section* Find(std::string_view section);
  const Section* Find(std::string_view section) const;
  // Gives `line` the UTF-8 text `text`, with its 932 bytes while the file is
  // in 932; a text 932 cannot hold turns the whole file to UTF-8.
  void SetText(Line& line, std::string_view text);
  // Writes the whole text to `fd` in the file's encoding; false with errno set.
  bool WriteContent(int fd) const;
  // The key line of `key` in `section`, or nullptr.
  const Line* FindKey(const Section& section, std::string_view key) const;
  Line* FindKey(Section& section, std::string_view key);
  // Why `key` = `value` in `section` (found as `existing`, or nullptr) could
  // not be read back as given, if so.
  Status RefuseUnstorable(const Section* existing, std::string_view section, std::string_view key,
                          std::string_view value) const;
  // The section to write `section` into: `found` (what Find gave), or a new
  // one added at the end when that is nullptr.
  Section& SectionToWrite(Section* found, std::string_view section);
  void ReplaceValue(Line& line, std::string_view value);
  void AddKey(Section& section, std::string_view key, std::string_view value);
  Status Commit();
  // Replaces the file with the text atomically, beside the file a symbolic
  // link at the path names: finds that file, checks that it may be replaced,
  // removes leftovers of earlier writes (once), writes and renames.
  Status WriteFile();
  Status FileToReplace(std::string& target) const;
  Status CheckReplaceable(int folder, const std::string& name, struct stat& old,
                          bool& existed) const;
  Status Replace(int folder, const std::string& name, const struct stat* old) const;
  // A refusal naming the file: "<path>: <reason>".
  Status Refusal(Status::Code code, std::string_view reason) const;

  std::string path_;
  Encoding encoding_ = Encoding::kUtf8;
  bool bom_ = false;
  Status load_error_ = Status::Ok();  // why an existing file could not be read; writes refuse
  std::string content_;               // the file as read
  std::string made_;                  // text made since: new and changed lines
  std::vector<Section> sections_;
  std::vector<uint64_t> slots_;  // the index by name (see RebuildIndex)
  size_t indexed_ = 0;           // names in the index
  int update_depth_ = 0;
  bool pending_ = false;           // a change made during BeginUpdate awaits writing
  bool leftoversRemoved_ = false;  // temporary files beside the file are removed once
};

}  // namespace quillfen
