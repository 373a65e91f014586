/* Starts a program with an exact command-line text, as Windows hands it over,
 * and reports how the run ended. The text is read byte for byte from a file,
 * so nothing between the test and the program requotes it.
 *
 *   launcher.exe LIMIT_MS PROGRAM COMMAND_LINE_FILE STOP_FILE
 *
 * Prints "pid N" once the program runs, then one of:
 *   "exit N"                 it ended by itself within LIMIT_MS milliseconds;
 *   "stopped on request"     STOP_FILE appeared, so it was terminated;
 *   "stopped at time limit"  it was still running after LIMIT_MS.
 * A failure of the launcher itself is "error ..." with exit status 2. */
#include <windows.h>
#include <stdio.h>
#include <stdlib.h>

static int fail(const char* what) {
    printf("error %s %lu\n", what, (unsigned long)GetLastError());
    fflush(stdout);
    return 2;
}

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: launcher.exe LIMIT_MS PROGRAM COMMAND_LINE_FILE STOP_FILE\n");
        return 2;
    }
    const DWORD limit = (DWORD)strtoul(argv[1], NULL, 10);
    const char* const stop_file = argv[4];

    FILE* file = fopen(argv[3], "rb");
    if (!file) return fail("open-command-line-file");
    static char command_line[32768];
    const size_t size = fread(command_line, 1, sizeof command_line - 1, file);
    fclose(file);
    command_line[size] = '\0';

    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessA(argv[2], command_line, NULL, NULL, TRUE, 0, NULL, NULL, &startup, &process)) {
        return fail("create-process");
    }
    printf("pid %lu\n", (unsigned long)process.dwProcessId);
    fflush(stdout);

    const DWORD start = GetTickCount();
    const char* stopped = NULL;
    while (WaitForSingleObject(process.hProcess, 50) != WAIT_OBJECT_0) {
        if (GetFileAttributesA(stop_file) != INVALID_FILE_ATTRIBUTES) {
            stopped = "stopped on request";
        } else if (GetTickCount() - start >= limit) {
            stopped = "stopped at time limit";
        } else {
            continue;
        }
        TerminateProcess(process.hProcess, 255);
        WaitForSingleObject(process.hProcess, 10000);
        break;
    }
    if (stopped) {
        printf("%s\n", stopped);
    } else {
        DWORD code = 0;
        if (!GetExitCodeProcess(process.hProcess, &code)) return fail("exit-code");
        printf("exit %lu\n", (unsigned long)code);
    }
    fflush(stdout);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return 0;
}
