// ventrix-service.exe: the Ventrix service, started by the service manager.
#include <windows.h>

#include "service/win32/service_host.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return ventrix::runService(); }
