// Starting this program again with an administrator's rights (the system
// asks the operator first): the seam the main window's controller calls
// through MainController::restart_elevated.
#pragma once

#include <string>
#include <vector>

namespace qx::win32 {

// `arguments` as one command line that CommandLineToArgvW and the C runtime
// split back into the same words: a word with a blank, a tab or a quote, or
// an empty one, in quotes; backslashes doubled only before a quote.
std::wstring CommandLineOf(const std::vector<std::string>& arguments);

// Starts the running executable with the verb "runas" and `arguments`;
// false when it did not start (the operator declined, or it failed).
bool StartElevated(const std::vector<std::string>& arguments);

}  // namespace qx::win32
