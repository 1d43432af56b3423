#include <string_view>

#include "console/console.h"
#include "program/command_line.h"
#include "program/driver.h"

int main(int argc, char** argv) {
    wakelet::ReserveStandardError();
    bool verbose = argc > 1 && wakelet::IsVerboseArgument(std::string_view(argv[1]));
    return wakelet::RunProgram(verbose);
}
