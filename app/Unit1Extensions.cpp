// Extension list handlers of TForm1.
#include "app/Unit1.h"

void TForm1::ConnectExtensionLists() {}
