#include <string_view>

#include "command_line.h"
#include "driver.h"

int main(int argc, char** argv) {
    bool verbose = argc > 1 && wakelet::IsVerboseArgument(std::string_view(argv[1]));
    return wakelet::RunProgram(verbose);
}
