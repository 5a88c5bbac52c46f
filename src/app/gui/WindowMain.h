// Window mode of the vornik program: the application object, the main window on Qt's event loop
// and the real serial/TCP links, until the window closes. Returns the process's exit code.
#pragma once

#include <string>

namespace vornik::gui {

/// Without a display the program says so on one line and returns 99 (no Qt abort text).
int RunWindowMode(int& Argc, char** Argv, const std::string& Version);

}  // namespace vornik::gui
