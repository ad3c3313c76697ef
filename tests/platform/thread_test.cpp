// Worker threads: AfxBeginThread, suspension and the worker registry.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
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
    EXPECT_EQ(nullptr, AfxBeginThread(nullptr, nullptr));  // starts nothing
    ASSERT_TRUE(WaitForWorkerThreads(5000));
    for (int n : {1, 40}) {
        Gate gate;
        for (int i = 0; i < n; ++i)
            ASSERT_NE(nullptr, AfxBeginThread(WaitAtGate, &gate));
        EXPECT_EQ(n, GetRunningWorkerThreadCount());
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_FALSE(WaitForWorkerThreads(200));
        EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
        gate.Open();
        EXPECT_TRUE(WaitForWorkerThreads(10000));
        EXPECT_EQ(n, gate.left.load());
        EXPECT_EQ(0, GetRunningWorkerThreadCount());
    }
    EXPECT_TRUE(WaitForWorkerThreads(0xFFFFFFFF));
    // A suspended worker runs only after its resume.
    Gate gate;
    gate.Open();
    CWinThread* t = AfxBeginThread(WaitAtGate, &gate, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED);
    ASSERT_NE(nullptr, t);
    EXPECT_NE(0u, t->m_nThreadID);
    t->m_bAutoDelete = FALSE;
    EXPECT_FALSE(WaitForWorkerThreads(100));
    EXPECT_EQ(0, gate.entered.load());
    EXPECT_EQ(1u, t->ResumeThread());
    EXPECT_TRUE(WaitForWorkerThreads(5000));
    EXPECT_EQ(1, gate.left.load());
    EXPECT_EQ(t->m_nThreadID, gate.threadId.load());
    EXPECT_EQ(0u, t->ResumeThread());
    delete t;
}

}  // namespace
