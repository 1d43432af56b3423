// The Windows entry. The arguments come from the one string the system keeps for the
// process, split by the program's own rule, not by the C runtime's (which knows escapes).
#include <windows.h>

#include <string_view>

#include "command_line.h"
#include "driver.h"

int main() {
    return wakelet::RunProgram(wakelet::FirstArgumentIsVerbose(std::wstring_view(GetCommandLineW())));
}
