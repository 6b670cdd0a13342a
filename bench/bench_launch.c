/* Starts one program and reports, in microseconds from CreateProcess, when its
   window with the given title exists and when it first waits for input; then
   holds it until a line arrives on stdin, closes the window with WM_CLOSE and
   waits for the process to end.
   Usage: bench_launch TITLE COMMAND-LINE */
#include <windows.h>
#include <stdio.h>

static double microseconds(LARGE_INTEGER from, LARGE_INTEGER to, LARGE_INTEGER frequency) {
    return (double)(to.QuadPart - from.QuadPart) * 1e6 / (double)frequency.QuadPart;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: bench_launch TITLE COMMAND-LINE\n");
        return 2;
    }
    const char* title = argv[1];
    if (FindWindowA(NULL, title)) {
        fprintf(stderr, "a window \"%s\" exists already\n", title);
        return 1;
    }

    LARGE_INTEGER frequency, start, now;
    QueryPerformanceFrequency(&frequency);
    STARTUPINFOA startup = {sizeof startup};
    PROCESS_INFORMATION process = {0};
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(NULL, argv[2], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        fprintf(stderr, "cannot start %s: error %lu\n", argv[2], GetLastError());
        return 1;
    }

    /* Poll for the window; give up after 20 s or when the process ends. */
    HWND window = NULL;
    for (;;) {
        window = FindWindowA(NULL, title);
        QueryPerformanceCounter(&now);
        if (window) break;
        if (microseconds(start, now, frequency) > 20e6 ||
            WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            fprintf(stderr, "no window \"%s\"\n", title);
            TerminateProcess(process.hProcess, 1);
            return 1;
        }
        Sleep(1);
    }
    printf("window %.0f\n", microseconds(start, now, frequency));
    WaitForInputIdle(process.hProcess, 20000);
    QueryPerformanceCounter(&now);
    printf("idle %.0f\npid %lu\n", microseconds(start, now, frequency), process.dwProcessId);
    fflush(stdout);

    char line[64];
    if (!fgets(line, sizeof line, stdin)) line[0] = 0;

    SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, 10000, NULL);
    DWORD code = 0;
    if (WaitForSingleObject(process.hProcess, 20000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 1);
        fprintf(stderr, "%s did not end after WM_CLOSE\n", argv[2]);
        return 1;
    }
    GetExitCodeProcess(process.hProcess, &code);
    printf("exit %lu\n", code);
    return 0;
}
