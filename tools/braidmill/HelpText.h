#pragma once

// The usage line, shown with too few arguments and after a command-line
// error, and the --help text; each ends with a newline.
extern const char kUsage[];
extern const char kHelp[];
