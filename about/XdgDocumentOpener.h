// Opens documents with the desktop's associated application through xdg-open.
#pragma once

#include <string>

#include "about/HelpPage.h"

class XdgDocumentOpener : public DocumentOpener {
 public:
  // `program` is the opener to start, looked up on PATH unless it holds a '/';
  // tests pass a stand-in.
  explicit XdgDocumentOpener(std::string program = "xdg-open");

  // Starts the opener detached (it outlives the program and is never left as
  // a zombie), with the document as its one argument and the request's
  // working folder as its working directory. Paths are passed byte for byte.
  // Returns at once; a missing opener, a missing document, a working folder
  // that cannot be entered or a failing application shows nothing.
  void Open(const DocumentRequest& request) override;

 private:
  std::string program_;
};
