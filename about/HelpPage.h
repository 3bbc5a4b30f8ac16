// Opening the help page with the desktop's associated application.
#pragma once

#include <string>
#include <string_view>

// A document to open and the working folder to open it in.
struct DocumentRequest {
  std::string document;
  std::string workingFolder;
};

// The help page of a program started in `startDir` from `executablePath`:
// document startDir + "/Quillfen.html", working folder the executable's folder
// with its trailing '/'.
DocumentRequest HelpPageRequest(std::string_view startDir, std::string_view executablePath);

// Hands documents to the desktop. Failures are not reported.
class DocumentOpener {
 public:
  virtual ~DocumentOpener() = default;
  virtual void Open(const DocumentRequest& request) = 0;
};
