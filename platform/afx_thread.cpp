// Worker threads: CWinThread, AfxBeginThread and the registry of running
// workers. Portable C++; serves every system.
//
// A thread starts at once; a suspended one waits at a gate until ResumeThread,
// so its m_nThreadID is known when AfxBeginThread returns, as on Windows.
#include "platform/afx.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>

namespace {

struct Registry {
    std::mutex m;  // guards running and every CWinThread's m_bStarted
    std::condition_variable cv;
    int running = 0;  // workers whose procedure has not returned or object not deleted
};

Registry& Workers() {
    static Registry* r = new Registry;  // detached threads may outlive static destruction
    return *r;
}

}  // namespace

CWinThread::CWinThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam)
    : m_nThreadID(0),
      m_bAutoDelete(TRUE),
      m_pfnThreadProc(pfnThreadProc),
      m_pThreadParams(pParam),
      m_bStarted(false) {}

CWinThread::~CWinThread() = default;

// The previous suspend count: 1 when this call let the thread run, 0 otherwise.
DWORD CWinThread::ResumeThread() {
    Registry& r = Workers();
    std::lock_guard<std::mutex> lk(r.m);
    if (m_bStarted)
        return 0;
    m_bStarted = true;
    r.cv.notify_all();
    return 1;
}

// Runs the thread and returns once it has published its id. Throws
// std::system_error when no thread can be created.
void CWinThread::Start() {
    Registry& r = Workers();
    DWORD id = 0;  // written by the new thread under r.m, then never touched by it again
    std::thread t([this, &id, &r] {
        {
            std::unique_lock<std::mutex> lk(r.m);
            m_nThreadID = GetCurrentThreadId();
            id = m_nThreadID;
            r.cv.notify_all();
            r.cv.wait(lk, [this] { return m_bStarted; });
        }
        m_pfnThreadProc(m_pThreadParams);
        if (m_bAutoDelete)
            delete this;
        std::lock_guard<std::mutex> lk(r.m);
        --r.running;
        r.cv.notify_all();
    });
    t.detach();
    std::unique_lock<std::mutex> lk(r.m);
    r.cv.wait(lk, [&id] { return id != 0; });
}

CWinThread* AfxBeginThread(AFX_THREADPROC pfnThreadProc, LPVOID pParam, int /*nPriority*/,
                           UINT /*nStackSize*/, DWORD dwCreateFlags,
                           LPSECURITY_ATTRIBUTES /*lpSecurityAttrs*/) {
    if (!pfnThreadProc)
        return nullptr;
    auto* thread = new CWinThread(pfnThreadProc, pParam);
    Registry& r = Workers();
    {
        std::lock_guard<std::mutex> lk(r.m);
        thread->m_bStarted = (dwCreateFlags & CREATE_SUSPENDED) == 0;
        ++r.running;
    }
    try {
        thread->Start();
    } catch (const std::system_error&) {
        {
            std::lock_guard<std::mutex> lk(r.m);
            --r.running;
            r.cv.notify_all();
        }
        delete thread;
        return nullptr;
    }
    return thread;
}

// A worker calling this counts itself among those it waits for: it can only time out.
bool WaitForWorkerThreads(unsigned long timeoutMs) {
    Registry& r = Workers();
    std::unique_lock<std::mutex> lk(r.m);
    auto done = [&r] { return r.running == 0; };
    if (timeoutMs == 0xFFFFFFFFUL) {
        r.cv.wait(lk, done);
        return true;
    }
    return r.cv.wait_for(lk, std::chrono::milliseconds(timeoutMs), done);
}

int GetRunningWorkerThreadCount() {
    Registry& r = Workers();
    std::lock_guard<std::mutex> lk(r.m);
    return r.running;
}
