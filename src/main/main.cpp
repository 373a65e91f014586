// The program entry: read the arguments, carry them out, exit 0 on every path.
#include "main/run.h"
#include "platform/platform.h"

namespace {

void run_program(int argc, char** argv) {
    using namespace dorvanel;
    // Arguments that could not be read ask for nothing: the usage notice
    // (the default Invocation) rather than a guess that moves a tray.
    const auto arguments = platform::arguments(argc, argv);
    carry_out(arguments ? interpret(arguments->list, platform::lowercase, arguments->room) : Invocation{});
}

}  // namespace

#ifdef _WIN32
// dorvanel.exe links no C runtime, whose start-up code would be most of the
// file, so nothing would call main: the system starts the program here. It
// is a GUI-subsystem program, so no console opens.
extern "C" [[noreturn]] void dorvanel_start() {
    dorvanel::platform::start_process();
    run_program(0, nullptr);
    dorvanel::platform::end_process();
}
#else
int main(int argc, char** argv) {
    run_program(argc, argv);
    return 0;
}
#endif
