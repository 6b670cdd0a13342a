/* Round trips to the agent window: a volume arrival for one drive against
   WM_NULL, in alternating blocks. Prints one line per block and kind with the
   microseconds per call.
   Usage: bench_arrival TITLE DRIVE-LETTER BLOCKS CALLS-PER-BLOCK */
#include <windows.h>
#include <dbt.h>
#include <stdio.h>
#include <stdlib.h>

static LARGE_INTEGER frequency;

static double timeCalls(HWND window, UINT message, WPARAM wParam, LPARAM lParam, int calls) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < calls; ++i) SendMessageA(window, message, wParam, lParam);
    QueryPerformanceCounter(&end);
    return (double)(end.QuadPart - start.QuadPart) * 1e6 / (double)frequency.QuadPart / calls;
}

static int errorBoxShown(void) { return FindWindowA("#32770", "Error") != NULL; }

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: bench_arrival TITLE DRIVE-LETTER BLOCKS CALLS-PER-BLOCK\n");
        return 2;
    }
    HWND window = FindWindowA(NULL, argv[1]);
    if (!window) {
        fprintf(stderr, "no window \"%s\"\n", argv[1]);
        return 1;
    }
    const int letter = argv[2][0] & ~0x20;
    const int blocks = atoi(argv[3]), calls = atoi(argv[4]);
    QueryPerformanceFrequency(&frequency);

    DEV_BROADCAST_VOLUME volume = {0};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (letter - 'A');
    const LPARAM header = (LPARAM)&volume;

    /* One guarded call first: an arrival that ejects would block on its box. */
    DWORD_PTR answer = 0;
    if (!SendMessageTimeoutA(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, header, SMTO_ABORTIFHUNG, 5000,
                             &answer) || errorBoxShown()) {
        fprintf(stderr, "the arrival did not come back at once (a message box?)\n");
        return 1;
    }
    for (int b = 0; b < blocks; ++b) {
        double arrival, null;
        if (b % 2) {
            null = timeCalls(window, WM_NULL, 0, 0, calls);
            arrival = timeCalls(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, header, calls);
        } else {
            arrival = timeCalls(window, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, header, calls);
            null = timeCalls(window, WM_NULL, 0, 0, calls);
        }
        printf("arrival %.2f\nnull %.2f\n", arrival, null);
    }
    if (errorBoxShown()) {
        fprintf(stderr, "a message box appeared: the arrival was acted on\n");
        return 1;
    }
    return 0;
}
