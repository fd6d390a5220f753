#include "control/run_control.h"
#include "platform/clock_override.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    velumtar::ClockOverride platform(velumtar::systemPlatform());
    int code;
    {
        velumtar::RunControl control(platform);
        code = control.run(argc, argv);
    }
    platform.exitProcess(code);
}
