#include "control/run_control.h"
#include "platform/clock_override.h"
#include "platform/platform.h"
#include "platform/read_ahead.h"
#include "platform/worker_runner.h"

// The platform stack of a run: the system, reading ahead on top of it, and
// the clock a test or a scheduled run may set; and the worker threads that
// reading ahead and the reading of file contents share. None of them is ever
// torn down: the process ends through the platform.
int main(int argc, char** argv) {
    using namespace velumtar;
    Platform& system = systemPlatform();
    SharedWorkers workers(16);
    readahead::ReadAheadPlatform readAhead(
        system, readahead::newSystemReader(), workers.runner(),
        readahead::limitsFrom(system.environment("VELUMTAR_READAHEAD")));
    ClockOverride platform(readAhead);
    int code;
    {
        RunControl control(platform, [&] { return workers.runner(); });
        code = control.run(argc, argv);
    }
    platform.exitProcess(code);
}
