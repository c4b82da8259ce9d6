// galaxy_file.h: the check that a galaxy file named on a command line can be read, made before
// anything else is set up, so that a mistyped name ends the program at once.
#pragma once

#include <string>

// True when file looks readable; otherwise false with "cannot read FILE: reason" in error. A
// named pipe is only checked for permission, never opened: opening and closing it would leave
// its writer without a reader. A folder is refused, as the loader could read nothing from it.
bool GalaxyFileReadable(const std::string& file, std::string& error);
