#pragma once
// The platform calls of the serial channel, gathered in one table. The channel
// makes every call through the table in force, which is the system's own unless
// a test installs another: so tests can see what the channel asks of the
// platform (access, share mode, time-outs, line settings, purge flags, byte
// counts) and stand in for device states the bench cannot produce.

#include <windows.h>

struct SerialPlatform {
    HANDLE(WINAPI* createFile)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
    BOOL(WINAPI* getCommState)(HANDLE, LPDCB);
    BOOL(WINAPI* setCommState)(HANDLE, LPDCB);
    BOOL(WINAPI* setCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
    BOOL(WINAPI* purgeComm)(HANDLE, DWORD);
    BOOL(WINAPI* readFile)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* writeFile)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
    BOOL(WINAPI* getCommTimeouts)(HANDLE, LPCOMMTIMEOUTS);
};

// The system's functions.
const SerialPlatform& SystemSerialPlatform();
// The table every channel calls through now.
const SerialPlatform& CurrentSerialPlatform();
// Tests only: installs a table (null: the system's again). Install it while no
// channel is in use; the caller keeps it alive until it is replaced.
void SetSerialPlatform(const SerialPlatform* platform);
