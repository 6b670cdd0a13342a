#include "policy/win32/registry_policy_source.h"

#include <utility>

#include "policy/win32/system_library.h"

namespace ventrix {
namespace {

// Policy values are short; anything longer is not one of ours.
constexpr DWORD MaxValueBytes = 64 * 1024;
constexpr DWORD MaxNameLength = 256;  // characters, with the terminator

using EnterSection = HANDLE(WINAPI*)(BOOL machine);
using LeaveSection = BOOL(WINAPI*)(HANDLE section);

// A missing key or value is absent; any other error leaves the read unanswered.
PolicyRead failure(LONG result) { return result == ERROR_FILE_NOT_FOUND ? PolicyRead::Absent : PolicyRead::Failed; }

class OpenKey {
public:
    OpenKey(PolicyScope scope, const char* key) {
        const HKEY root = scope == PolicyScope::Machine ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        const REGSAM access = scope == PolicyScope::Machine ? KEY_READ | KEY_WOW64_64KEY : KEY_READ;
        result_ = RegOpenKeyExA(root, key, 0, access, &key_);
        if (result_ != ERROR_SUCCESS) key_ = nullptr;
    }
    ~OpenKey() {
        if (key_) RegCloseKey(key_);
    }
    OpenKey(const OpenKey&) = delete;
    OpenKey& operator=(const OpenKey&) = delete;
    HKEY get() const { return key_; }
    LONG result() const { return result_; }

private:
    HKEY key_ = nullptr;
    LONG result_ = ERROR_SUCCESS;
};

}  // namespace

RegistryPolicySource::~RegistryPolicySource() {
    endRead();
    if (userenv_) FreeLibrary(userenv_);
}

void RegistryPolicySource::beginRead() {
    if (!useSections_) return;
    if (!resolved_) {
        resolved_ = true;
        userenv_ = loadSystemLibrary("userenv.dll");
        sections_.enter = entry<EnterSection>(userenv_, "EnterCriticalPolicySection");
        sections_.leave = entry<LeaveSection>(userenv_, "LeaveCriticalPolicySection");
    }
    if (!sections_.enter) return;  // read as before, where the system offers no section
    // The user's section before the machine's, the order Windows documents:
    // any other would let two readers each hold one and wait for the other.
    if (!machineOnly_) userSection_ = sections_.enter(FALSE);
    machineSection_ = sections_.enter(TRUE);
}

void RegistryPolicySource::endRead() {
    for (HANDLE* section : {&machineSection_, &userSection_}) {
        if (*section && sections_.leave) sections_.leave(*section);
        *section = nullptr;
    }
}

PolicyRead RegistryPolicySource::readValue(PolicyScope scope, const char* key, const char* name, RegistryData& out) {
    if (machineOnly_ && scope == PolicyScope::User) return PolicyRead::Absent;
    const OpenKey open(scope, key);
    if (!open.get()) return failure(open.result());
    DWORD type = 0, size = 0;
    LONG result = RegQueryValueExA(open.get(), name, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS) return failure(result);
    // Policy values are short: a longer one is there, and malformed.
    if (size > MaxValueBytes) {
        out = {REG_NONE, {}};
        return PolicyRead::Found;
    }
    std::vector<std::uint8_t> bytes(size);
    result = RegQueryValueExA(open.get(), name, nullptr, &type, bytes.data(), &size);
    if (result != ERROR_SUCCESS) return result == ERROR_FILE_NOT_FOUND ? PolicyRead::Absent : PolicyRead::Failed;
    bytes.resize(size);
    out = {type, std::move(bytes)};
    return PolicyRead::Found;
}

PolicyRead RegistryPolicySource::readValues(PolicyScope scope, const char* key, std::vector<NamedRegistryData>& out) {
    if (machineOnly_ && scope == PolicyScope::User) return PolicyRead::Absent;
    const OpenKey open(scope, key);
    if (!open.get()) return failure(open.result());
    out.clear();
    std::vector<std::uint8_t> bytes(MaxValueBytes);
    for (DWORD index = 0;; ++index) {
        char name[MaxNameLength];
        DWORD nameLength = sizeof name, type = 0, size = MaxValueBytes;
        const LONG result = RegEnumValueA(open.get(), index, name, &nameLength, nullptr, &type, bytes.data(), &size);
        if (result == ERROR_NO_MORE_ITEMS) break;
        // A value too long to be an entry still shows, under its name, as malformed.
        if (result == ERROR_MORE_DATA) {
            size = 0;
            type = REG_NONE;
            if (nameLength >= sizeof name) nameLength = sizeof name - 1;
        } else if (result != ERROR_SUCCESS) {
            return PolicyRead::Failed;
        }
        out.push_back({std::string(name, nameLength), {type, {bytes.begin(), bytes.begin() + size}}});
    }
    return PolicyRead::Found;
}

// ---------------------------------------------------------------------------

namespace {

// How long an ending program waits for a reading under way to finish.
constexpr DWORD StopWaitMs = 1000;

}  // namespace

struct PolicyReadingThread::Shared {
    explicit Shared(std::unique_ptr<PolicySource> source) : live(std::move(source)) {
        InitializeCriticalSection(&lock);
        wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Shared() {
        DeleteCriticalSection(&lock);
        if (wake) CloseHandle(wake);
        if (done) CloseHandle(done);
    }
    Shared(const Shared&) = delete;
    Shared& operator=(const Shared&) = delete;

    std::unique_ptr<PolicySource> live;
    CRITICAL_SECTION lock;
    HANDLE wake = nullptr;  // auto-reset: a reading is asked for
    HANDLE done = nullptr;  // set while `latest` holds a reading
    // Under the lock:
    std::unique_ptr<PolicyRecord> latest;
    HWND window = nullptr;
    UINT message = 0;
    bool stopping = false;
};

PolicyReadingThread::PolicyReadingThread(std::unique_ptr<PolicySource> live, std::unique_ptr<PolicySource> direct)
    : shared_(new Shared(std::move(live))), direct_(std::move(direct)) {}

DWORD WINAPI PolicyReadingThread::run(void* parameter) {
    Shared& shared = *static_cast<Shared*>(parameter);
    for (;;) {
        WaitForSingleObject(shared.wake, INFINITE);
        EnterCriticalSection(&shared.lock);
        const bool stopping = shared.stopping;
        LeaveCriticalSection(&shared.lock);
        if (stopping) return 0;
        auto record = std::make_unique<PolicyRecord>();
        record->take(*shared.live);
        EnterCriticalSection(&shared.lock);
        shared.latest = std::move(record);
        SetEvent(shared.done);
        const HWND window = shared.window;
        const UINT message = shared.message;
        LeaveCriticalSection(&shared.lock);
        if (window) PostMessageA(window, message, 0, 0);
    }
}

bool PolicyReadingThread::start() {
    if (!shared_ || thread_ || !shared_->wake || !shared_->done) return false;
    thread_ = CreateThread(nullptr, 0, run, shared_, 0, nullptr);
    if (!thread_) return false;
    request();
    return true;
}

void PolicyReadingThread::request() {
    if (shared_ && thread_) SetEvent(shared_->wake);
}

void PolicyReadingThread::announceTo(HWND window, UINT message) {
    if (!shared_) return;
    EnterCriticalSection(&shared_->lock);
    shared_->window = window;
    shared_->message = message;
    const bool waiting = shared_->latest != nullptr;
    LeaveCriticalSection(&shared_->lock);
    if (window && waiting) PostMessageA(window, message, 0, 0);
}

std::unique_ptr<PolicyRecord> PolicyReadingThread::take(DWORD waitMs) {
    if (!shared_) return nullptr;
    if (waitMs != 0 && thread_) WaitForSingleObject(shared_->done, waitMs);
    EnterCriticalSection(&shared_->lock);
    std::unique_ptr<PolicyRecord> record = std::move(shared_->latest);
    ResetEvent(shared_->done);
    LeaveCriticalSection(&shared_->lock);
    return record;
}

void PolicyReadingThread::stop() {
    if (!shared_) return;
    bool ended = true;
    if (thread_) {
        EnterCriticalSection(&shared_->lock);
        shared_->stopping = true;
        shared_->window = nullptr;
        LeaveCriticalSection(&shared_->lock);
        SetEvent(shared_->wake);
        ended = WaitForSingleObject(thread_, StopWaitMs) == WAIT_OBJECT_0;
        CloseHandle(thread_);
        thread_ = nullptr;
    }
    if (ended) delete shared_;  // else the thread, still in a section's wait, keeps what it uses
    shared_ = nullptr;
}

}  // namespace ventrix
