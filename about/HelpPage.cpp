#include "about/HelpPage.h"

DocumentRequest HelpPageRequest(std::string_view startDir, std::string_view executablePath) {
  DocumentRequest request;
  // The page is looked for where the program was started, not where it is
  // installed; a start folder ending in '/' (the root) gives "//Quillfen.html".
  request.document = std::string(startDir) + "/Quillfen.html";
  // The executable's folder, up to and including its last separator.
  const auto slash = executablePath.rfind('/');
  if (slash != std::string_view::npos) request.workingFolder = executablePath.substr(0, slash + 1);
  return request;
}
