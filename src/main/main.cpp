// The program entry: read the arguments, carry them out, exit 0 on every path.
// On Windows this is still a GUI-subsystem program: the C runtime calls main
// without opening a console.
#include "main/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    using namespace dorvanel;
    // Arguments that could not be read ask for nothing: the usage notice
    // (the default Invocation) rather than a guess that moves a tray.
    const auto arguments = platform::arguments(argc, argv);
    carry_out(arguments ? interpret(arguments->list, platform::lowercase, arguments->room) : Invocation{});
    return 0;
}
