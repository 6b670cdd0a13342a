/* Soak: many cross-process messages over the branches that show no box, then
   arrivals that each show the lock message, answered from here; the agent's
   process counters before and after. Prints "before"/"after" lines:
   handles gdi user private-bytes.
   Usage: bench_soak TITLE QUIET-LETTER BOX-LETTER MESSAGES BOXES
          bench_soak ready TITLE   (waits for the agent, answering start-up boxes)
          bench_soak close TITLE
   QUIET-LETTER: an unlocked drive holding an unlisted medium (no box);
   BOX-LETTER: a drive with a medium that the policy does not list yet. */
#include <windows.h>
#include <dbt.h>
#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static HWND agent;

static void counters(HANDLE process, const char* when) {
    DWORD handles = 0;
    GetProcessHandleCount(process, &handles);
    PROCESS_MEMORY_COUNTERS_EX memory = {0};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(process, (PROCESS_MEMORY_COUNTERS*)&memory, sizeof memory);
    printf("%s %lu %lu %lu %lu\n", when, handles, GetGuiResources(process, GR_GDIOBJECTS),
           GetGuiResources(process, GR_USEROBJECTS), (unsigned long)memory.PrivateUsage);
}

static void volumeEvent(WPARAM event, DWORD deviceType, int letter) {
    DEV_BROADCAST_VOLUME volume = {0};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = deviceType;
    volume.dbcv_unitmask = 1u << (letter - 'A');
    SendMessageA(agent, WM_DEVICECHANGE, event, (LPARAM)&volume);
}

static DWORD WINAPI boxedArrivals(void* count) {
    const int letter = (int)(INT_PTR)((void**)count)[1];
    for (int i = 0; i < (int)(INT_PTR)((void**)count)[0]; ++i) volumeEvent(DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, letter);
    return 0;
}

static int answerBox(void) {
    HWND box = FindWindowA("#32770", "Error");
    if (box) SendMessageA(box, WM_COMMAND, IDOK, 0);
    return box != NULL;
}

int main(int argc, char** argv) {
    if (argc == 3 && strcmp(argv[1], "ready") == 0) {
        for (int tries = 0; tries < 60000 && !FindWindowA("#32770", argv[2]); ++tries) {
            answerBox();
            Sleep(1);
        }
        return FindWindowA("#32770", argv[2]) ? 0 : 1;
    }
    if (argc == 3 && strcmp(argv[1], "close") == 0) {
        return PostMessageA(FindWindowA("#32770", argv[2]), WM_CLOSE, 0, 0) ? 0 : 1;
    }
    if (argc != 6) {
        fprintf(stderr, "usage: bench_soak TITLE QUIET-LETTER BOX-LETTER MESSAGES BOXES\n");
        return 2;
    }
    agent = FindWindowA("#32770", argv[1]);
    if (!agent) return 1;
    const int quiet = argv[2][0] & ~0x20, boxed = argv[3][0] & ~0x20;
    const int messages = atoi(argv[4]), boxes = atoi(argv[5]);
    DWORD pid = 0;
    GetWindowThreadProcessId(agent, &pid);
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) return 1;
    counters(process, "before");

    for (int i = 0; i < messages; ++i) {
        switch (i % 5) {
        case 0: volumeEvent(DBT_DEVICEARRIVAL, DBT_DEVTYP_VOLUME, quiet); break;
        case 1: volumeEvent(DBT_DEVICEREMOVECOMPLETE, DBT_DEVTYP_VOLUME, quiet); break;
        case 2: volumeEvent(DBT_DEVICEARRIVAL, DBT_DEVTYP_PORT, quiet); break;
        case 3: SendMessageA(agent, WM_USER + 7, 0, i % 2 ? WM_MOUSEMOVE : WM_LBUTTONDBLCLK); break;
        case 4: SendMessageA(agent, WM_COMMAND, i % 2 ? 40010 : 1, 0); break;
        }
        if (FindWindowA("#32770", "Error")) {
            fprintf(stderr, "a quiet message showed a box\n");
            return 1;
        }
    }

    /* Each boxed arrival blocks its sender until the box is answered. */
    void* job[2] = {(void*)(INT_PTR)boxes, (void*)(INT_PTR)boxed};
    HANDLE sender = CreateThread(NULL, 0, boxedArrivals, job, 0, NULL);
    int answered = 0;
    while (WaitForSingleObject(sender, 1) == WAIT_TIMEOUT) answered += answerBox();
    counters(process, "after");
    printf("boxes %d\n", answered);
    return 0;
}
