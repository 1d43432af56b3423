#include "program/driver.h"

#include <new>

#include "base/failure.h"
#include "console/console.h"
#include "program/module_info.h"
#include "program/playback.h"
#include "program/settings.h"
#include "tone/tone_buffer.h"

namespace wakelet {

bool Running = false;
bool Verbose = false;
std::uint32_t CycleInterval = 0;

namespace {

void WriteBanner() {
    WriteLine("Pelvarin's \"keep audio alive\" hack v0.5");
    WriteLine("");
    WriteLine("Let this window open until you do not need it anymore.");
    WriteLine("(press CTRL-C to exit)");
    WriteLine("");
    WriteLine("starting hack.");
    WriteLine("");
}

void Run(bool verboseRequested) {
    InitWaveFormat();
    Running = true;
    Verbose = false;
    if (verboseRequested) Verbose = true;
    CycleInterval = Verbose ? VerboseCycleInterval : NormalCycleInterval;
    WriteBanner();
    do {
        PlayCycle();
    } while (Running);
    WriteLine("");
    WriteLine("Done.");
}

// The language runtime's own allocation failure is the same failure as ours.
template <class Body>
void RaisingOutOfMemory(Body body) {
    try {
        body();
    } catch (const std::bad_alloc&) {
        throw EOutOfMemory();
    }
}

void ReportLastResort(const Exception& failure) {
    Console& console = StdConsole();
    console.Flush();
    console.WriteError(LastResortText(failure, ModuleFileName(), ModuleOffset(failure.Location())));
}

}  // namespace

int RunProgram(bool verboseRequested) {
    Console& console = StdConsole();
    try {
        RaisingOutOfMemory([&] {
            try {
                RaisingOutOfMemory([&] { Run(verboseRequested); });
            } catch (const Exception& failure) {
                // Deliberately unguarded: a failure here goes to the last-resort report.
                console.WriteLine(failure.ClassName() + ": " + failure.Message());
                console.ReadLine();
            }
        });
    } catch (const Exception& failure) {
        ReportLastResort(failure);
        return 1;
    }
    console.Flush();
    return 0;
}

}  // namespace wakelet
