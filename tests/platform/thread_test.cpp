// Worker threads: AfxBeginThread, suspension and the worker registry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <initializer_list>
#include <mutex>

#include "platform/afx.h"

namespace {

// A gate workers wait at until the test opens it.
struct Gate {
    std::mutex m;
    std::condition_variable cv;
    bool open = false;
    std::atomic<int> entered{0}, left{0};
    std::atomic<DWORD> threadId{0};
    void Open() {
        std::lock_guard<std::mutex> lk(m);
        open = true;
        cv.notify_all();
    }
};

// Expects each pair (got, want) of a run of calls, made in order (a braced
// list is evaluated in order).
void Steps(std::initializer_list<long long> pairs) {
    for (auto p = pairs.begin(); p + 1 < pairs.end(); p += 2)
        EXPECT_EQ(p[0], p[1]) << "pair " << (p - pairs.begin()) / 2;
}

UINT WaitAtGate(LPVOID p) {
    auto* g = static_cast<Gate*>(p);
    g->threadId = GetCurrentThreadId();
    ++g->entered;
    std::unique_lock<std::mutex> lk(g->m);
    g->cv.wait(lk, [g] { return g->open; });
    ++g->left;
    return 0;
}

TEST(WorkerThreads, WaitIsForEveryRunningWorker) {
    Steps({AfxBeginThread(nullptr, nullptr) == nullptr, 1, WaitForWorkerThreads(5000), 1});
    for (int n : {1, 40}) {
        Gate gate;
        for (int i = 0; i < n; ++i)
            ASSERT_NE(nullptr, AfxBeginThread(WaitAtGate, &gate));
        auto t0 = std::chrono::steady_clock::now();
        Steps({GetRunningWorkerThreadCount(), n, WaitForWorkerThreads(200), 0,
               std::chrono::steady_clock::now() - t0 >= std::chrono::milliseconds(190), 1});
        gate.Open();
        Steps({WaitForWorkerThreads(10000), 1, gate.left, n, GetRunningWorkerThreadCount(), 0});
    }
    // A suspended worker runs only after its resume.
    Gate gate;
    gate.Open();
    CWinThread* t = AfxBeginThread(WaitAtGate, &gate, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(nullptr, t);
    t->m_bAutoDelete = FALSE;
    Steps({t->m_nThreadID != 0, 1});
    Steps({WaitForWorkerThreads(100), 0, gate.entered, 0, t->ResumeThread(), 1});
    Steps({WaitForWorkerThreads(5000), 1, gate.left, 1, gate.threadId, t->m_nThreadID});
    Steps({t->ResumeThread(), 0, WaitForWorkerThreads(0xFFFFFFFF), 1});
    delete t;
}

}  // namespace
