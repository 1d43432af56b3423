// The Windows entry. The arguments come from the one string the system keeps for the
// process, split by the program's own rule, not by the C runtime's (which knows escapes).
#include <windows.h>

#include <string_view>

#include "program/command_line.h"
#include "program/driver.h"

int main() {
    return wakelet::RunProgram(wakelet::FirstArgumentIsVerbose(std::wstring_view(GetCommandLineW())));
}
