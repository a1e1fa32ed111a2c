// Hides the running executable's path from the program (see no_executable_path.cpp).
#pragma once

namespace testfs {

// While hidden, platform::ExecutableFolder() gives the empty string.
void HideExecutablePath(bool hide);

}  // namespace testfs
