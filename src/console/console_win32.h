// The one place where Windows error codes (GetLastError) become the program's I/O error
// numbers, shared by the console's native side and its tests.
#pragma once

namespace wakelet {

// ERROR_FILE_NOT_FOUND 2, ERROR_PATH_NOT_FOUND 3, ERROR_TOO_MANY_OPEN_FILES 4 and
// ERROR_ACCESS_DENIED 5 keep their numbers, ERROR_HANDLE_EOF is 100 and ERROR_DISK_FULL
// 101; every other code is shown as itself (a closed pipe: 232 or 109).
int ProgramErrorNumber(unsigned long systemError);

}  // namespace wakelet
