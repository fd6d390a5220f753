#include "control/run_control.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    velumtar::Platform& platform = velumtar::systemPlatform();
    int code;
    {
        velumtar::RunControl control(platform);
        code = control.run(argc, argv);
    }
    platform.exitProcess(code);
}
