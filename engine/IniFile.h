// The settings file: INI text read and written by our own code so that its
// form is exactly kept (CR LF lines, "key=value", names matched ignoring ASCII
// case, values replaced in place, new keys at the end of their section, new
// sections at the end of the file).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <unordered_map>
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
  // One line of the file, without its line ending.
  struct Line {
    std::string text;               // the line as UTF-8; for a raw line, its bytes
    std::string bytes;              // its code page 932 form (only while the file is in 932)
    bool raw = false;               // did not decode: written back as it was, never matched
    size_t eq = std::string::npos;  // position of '=' in `text` for a key line
    bool crEnd = false;             // ended in a CR alone, and is written back so
  };
  // A section: its header line and the lines up to the next header. The
  // first section of `sections_` holds the lines before any header.
  struct Section {
    std::string name;        // as spelled in the header
    bool matchable = false;  // a decoded header that reads and writes may use
    Line header;
    std::vector<Line> body;
  };
  enum class Encoding { kUtf8, kCp932 };

  void Load();
  void Parse(std::string_view content);
  // Adds one line read from the file; `known_valid` when it is known to be
  // UTF-8, `crEnd` when it ended in a CR alone.
  void AddLine(std::string_view bytes, bool known_valid, bool crEnd);
  void RebuildIndex();
  Section* Find(std::string_view section);
  const Section* Find(std::string_view section) const;
  // Gives `line` the UTF-8 text `text`, with its 932 bytes while the file is
  // in 932; a text 932 cannot hold turns the whole file to UTF-8.
  void SetText(Line& line, std::string text);
  std::string Serialize() const;
  // The key line of `key` in `section`, or nullptr.
  static const Line* FindKey(const Section& section, std::string_view key);
  static Line* FindKey(Section& section, std::string_view key);
  // Why `key` = `value` in `section` could not be read back as given, if so.
  Status RefuseUnstorable(std::string_view section, std::string_view key,
                          std::string_view value) const;
  // The section to write `section` into, added at the end when missing.
  Section& SectionToWrite(std::string_view section);
  void ReplaceValue(Line& line, std::string_view value);
  void AddKey(Section& section, std::string_view key, std::string_view value);
  Status Commit();
  // Replaces the file with `content` atomically, beside the file a symbolic
  // link at the path names: finds that file, checks that it may be replaced,
  // removes leftovers of earlier writes (once), writes and renames.
  Status WriteFile(const std::string& content);
  Status FileToReplace(std::string& target) const;
  Status CheckReplaceable(int folder, const std::string& name, struct stat& old,
                          bool& existed) const;
  Status Replace(int folder, const std::string& name, const struct stat* old,
                 const std::string& content) const;
  // A refusal naming the file: "<path>: <reason>".
  Status Refusal(Status::Code code, std::string_view reason) const;

  std::string path_;
  Encoding encoding_ = Encoding::kUtf8;
  bool bom_ = false;
  Status load_error_ = Status::Ok();  // why an existing file could not be read; writes refuse
  std::vector<Section> sections_;
  // ASCII-lower-cased name -> index in sections_ of its first matchable section.
  std::unordered_map<std::string, size_t> index_;
  int update_depth_ = 0;
  bool pending_ = false;           // a change made during BeginUpdate awaits writing
  bool leftoversRemoved_ = false;  // temporary files beside the file are removed once
};

}  // namespace quillfen
