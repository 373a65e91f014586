// The program entry: read the arguments, carry them out, exit 0 on every path.
// On Windows this is still a GUI-subsystem program: the C runtime calls main
// without opening a console.
#include "main/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    using namespace dorvanel;
    const platform::Arguments arguments = platform::arguments(argc, argv);
    carry_out(interpret(arguments.list, platform::lowercase, arguments.room));
    return 0;
}
