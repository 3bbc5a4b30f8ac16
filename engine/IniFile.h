// The settings file: INI text read and written by our own code so that its
// form is exactly kept (CR LF lines, "key=value", names matched ignoring ASCII
// case, values replaced in place, new keys at the end of their section, new
// sections at the end of the file).
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "engine/DateTime.h"
#include "engine/Status.h"

namespace quillfen {

class IniFile {
 public:
  // Reads the file at `path`. A missing or unreadable file reads as empty; it
  // is created by the first write. A file that is not valid UTF-8 is read as
  // code page 932 and written back in it; all text handed in and out is UTF-8.
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
  // needed) and writes the file. On failure the error's message is
  // "<path> に書き込めません" and the file on disk is unchanged.
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
  // Members are the implementation's own; see IniFile.cpp.
};

}  // namespace quillfen
