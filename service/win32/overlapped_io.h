// One overlapped request at a time on a handle opened with
// FILE_FLAG_OVERLAPPED, for both ends of the service's pipe. Windows writes
// into the OVERLAPPED and the buffer until the request has ended, so one
// given up on is cancelled and waited for before either may go: nothing here
// returns, or is destroyed, with a request still running.
#pragma once

#include <windows.h>

#include "policy/win32/system_library.h"

namespace ventrix {

class OverlappedIo {
public:
    OverlappedIo() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    OverlappedIo(const OverlappedIo&) = delete;
    OverlappedIo& operator=(const OverlappedIo&) = delete;
    ~OverlappedIo() {
        cancel();
        if (event_) CloseHandle(event_);
    }

    // Set once the request has ended, however it ended.
    HANDLE event() const { return event_; }
    bool running() const { return running_; }
    bool ended() const { return running_ && WaitForSingleObject(event_, 0) == WAIT_OBJECT_0; }
    // The error of a request refused as it was asked for (nothing runs
    // then); ERROR_SUCCESS for one that started.
    DWORD refusal() const { return running_ ? startError_ : ERROR_SUCCESS; }

    // Each starts a request; its end is then seen on event() and taken with
    // result(), a failure to start included.
    void read(HANDLE handle, void* buffer, DWORD size) {
        begin(handle);
        settle(ReadFile(handle, buffer, size, nullptr, &overlapped_));
    }
    void write(HANDLE handle, const void* buffer, DWORD size) {
        begin(handle);
        settle(WriteFile(handle, buffer, size, nullptr, &overlapped_));
    }
    // A client that came between the pipe's creation and this call has connected.
    void connect(HANDLE pipe) {
        begin(pipe);
        settle(ConnectNamedPipe(pipe, &overlapped_) || GetLastError() == ERROR_PIPE_CONNECTED);
    }

    // Waits up to timeoutMs for the request to end; false if it has not.
    bool wait(DWORD timeoutMs) const { return WaitForSingleObject(event_, timeoutMs) == WAIT_OBJECT_0; }

    // The ended request's outcome, the bytes it moved in `bytes`; false with
    // the error in GetLastError() (ERROR_MORE_DATA for a message longer than
    // the buffer). The object is then free for the next request.
    bool result(DWORD& bytes) {
        bytes = 0;
        if (!running_) return false;
        running_ = false;
        if (startError_ != ERROR_SUCCESS) {
            SetLastError(startError_);
            return false;
        }
        return GetOverlappedResult(handle_, &overlapped_, &bytes, TRUE) != FALSE;
    }

    // A request still running is cancelled, this one alone where Windows can
    // (CancelIoEx, Vista and later; else every request of this thread on the
    // handle), and waited for until Windows is done with it.
    void cancel() {
        if (!running_) return;
        running_ = false;
        if (startError_ != ERROR_SUCCESS) return;
        using CancelOne = BOOL(WINAPI*)(HANDLE, LPOVERLAPPED);
        const auto cancelOne = entry<CancelOne>(GetModuleHandleA("kernel32.dll"), "CancelIoEx");
        if (!cancelOne || (!cancelOne(handle_, &overlapped_) && GetLastError() != ERROR_NOT_FOUND))
            CancelIo(handle_);
        DWORD ignored = 0;
        GetOverlappedResult(handle_, &overlapped_, &ignored, TRUE);
    }

private:
    void begin(HANDLE handle) {
        cancel();
        handle_ = handle;
        overlapped_ = {};
        overlapped_.hEvent = event_;
        ResetEvent(event_);
        running_ = true;
        startError_ = ERROR_SUCCESS;
    }
    // Done at once, or pending: the event tells either (set here too for a
    // request done at once, as Windows does unless told to skip it). Refused
    // at once: the error is kept and the event set, so the caller's next look
    // takes it.
    void settle(BOOL done) {
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (error == ERROR_IO_PENDING) return;
        if (!done) startError_ = error == ERROR_SUCCESS ? ERROR_GEN_FAILURE : error;
        SetEvent(event_);
    }

    HANDLE event_ = nullptr;
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped_{};
    bool running_ = false;
    DWORD startError_ = ERROR_SUCCESS;
};

}  // namespace ventrix
