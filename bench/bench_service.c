/* The Ventrix service from outside: started and stopped through the service
   manager, the Wine session kept alive for it, and volume events broadcast
   to every desktop as the system sends them.
   Usage: bench_service start | stop
            waits until the service runs (printing "pid N") or has stopped
          bench_service keep
            holds until stdin ends: Wine ends its services once no ordinary
            process is left in the session
          bench_service broadcast DRIVE-LETTER BLOCKS PAIRS-PER-BLOCK
            times an arrival + removal pair of the letter against a pair that
            nobody acts on (DBT_DEVNODES_CHANGED), in alternating blocks;
            prints "pair us" and "null us" per block, microseconds per pair */
#include <windows.h>
#include <dbt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static LARGE_INTEGER frequency;

/* Every top-level window of every desktop, the services' hidden windows
   included; BSF_QUERY makes it a send, so it returns once each has answered. */
static int broadcast(WPARAM event, LPARAM header) {
    DWORD recipients = BSM_APPLICATIONS | BSM_ALLDESKTOPS;
    return BroadcastSystemMessageA(BSF_QUERY | BSF_FORCEIFHUNG, &recipients, WM_DEVICECHANGE, event, header) > 0;
}

static double timePairs(const DEV_BROADCAST_VOLUME* volume, int pairs) {
    LARGE_INTEGER start, end;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < pairs; ++i) {
        int ok;
        if (volume) {
            /* The removal lets the service count the next arrival at once. */
            ok = broadcast(DBT_DEVICEARRIVAL, (LPARAM)volume) && broadcast(DBT_DEVICEREMOVECOMPLETE, (LPARAM)volume);
        } else {
            ok = broadcast(DBT_DEVNODES_CHANGED, 0) && broadcast(DBT_DEVNODES_CHANGED, 0);
        }
        if (!ok) {
            fprintf(stderr, "a broadcast failed: error %lu\n", GetLastError());
            exit(1);
        }
    }
    QueryPerformanceCounter(&end);
    return (double)(end.QuadPart - start.QuadPart) * 1e6 / (double)frequency.QuadPart / pairs;
}

static int broadcasts(int letter, int blocks, int pairs) {
    DEV_BROADCAST_VOLUME volume = {0};
    volume.dbcv_size = sizeof volume;
    volume.dbcv_devicetype = DBT_DEVTYP_VOLUME;
    volume.dbcv_unitmask = 1u << (letter - 'A');
    for (int b = 0; b < blocks; ++b) {
        double pair, null;
        if (b % 2) {
            null = timePairs(NULL, pairs);
            pair = timePairs(&volume, pairs);
        } else {
            pair = timePairs(&volume, pairs);
            null = timePairs(NULL, pairs);
        }
        printf("pair %.2f\nnull %.2f\n", pair, null);
    }
    return 0;
}

/* Asks for the state and waits for it; 60 s covers a start that derives
   the password's verifier on a loaded machine. */
static int control(int start) {
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, "Ventrix", SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS)
                                : NULL;
    if (!service) {
        fprintf(stderr, "no Ventrix service: error %lu\n", GetLastError());
        return 1;
    }
    SERVICE_STATUS stopped;
    if (start ? !StartServiceA(service, 0, NULL) : !ControlService(service, SERVICE_CONTROL_STOP, &stopped)) {
        fprintf(stderr, "the service manager refused: error %lu\n", GetLastError());
        return 1;
    }
    const DWORD wanted = start ? SERVICE_RUNNING : SERVICE_STOPPED;
    SERVICE_STATUS_PROCESS status = {0};
    for (int tries = 0; tries < 6000; ++tries) {
        DWORD needed = 0;
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE*)&status, sizeof status, &needed)) break;
        if (status.dwCurrentState == wanted) {
            if (start) printf("pid %lu\n", status.dwProcessId);
            return 0;
        }
        if (start && status.dwCurrentState == SERVICE_STOPPED) break;
        Sleep(10);
    }
    fprintf(stderr, "the service is in state %lu (exit code %lu), not %lu\n", status.dwCurrentState,
            status.dwWin32ExitCode, wanted);
    return 1;
}

int main(int argc, char** argv) {
    QueryPerformanceFrequency(&frequency);
    if (argc == 2 && strcmp(argv[1], "start") == 0) return control(1);
    if (argc == 2 && strcmp(argv[1], "stop") == 0) return control(0);
    if (argc == 2 && strcmp(argv[1], "keep") == 0) {
        char line[64];
        while (fgets(line, sizeof line, stdin)) {
        }
        return 0;
    }
    if (argc == 5 && strcmp(argv[1], "broadcast") == 0)
        return broadcasts(argv[2][0] & ~0x20, atoi(argv[3]), atoi(argv[4]));
    fprintf(stderr, "usage: bench_service start | stop | keep | broadcast DRIVE-LETTER BLOCKS PAIRS-PER-BLOCK\n");
    return 2;
}
