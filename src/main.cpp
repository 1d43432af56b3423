#include <string_view>

#include "command_line.h"
#include "console.h"
#include "driver.h"

int main(int argc, char** argv) {
    wakelet::ReserveStandardError();
    bool verbose = argc > 1 && wakelet::IsVerboseArgument(std::string_view(argv[1]));
    return wakelet::RunProgram(verbose);
}
