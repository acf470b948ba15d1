// Locks held across a fork.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "optimizer/incremental.hpp"

using namespace veltrix;

// A lock that a thread of the parent holds when the process forks: in the
// child, that thread is gone. If it had declared that it only reads, the
// child takes the lock over; otherwise every use fails with the busy
// message. Either way the child never waits for it. (ThreadSanitizer ends
// the child of a multi-threaded fork by itself.)
TEST(StoreThreads, ALockHeldAcrossAForkIsTakenOverOrFailsInTheChild) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer ends the child of a multi-threaded fork";
#endif
    enum Holder { Writer, Reader, Reducer };
    for (Holder holder : {Writer, Reader, Reducer}) {
        const PoisonLock lock{"poisoned", "busy"};
        IncrementalReducer reducer;
        std::atomic<bool> held{false}, done{false};
        std::thread t([&] {
            auto hold = [&] {
                held = true;
                while (!done) std::this_thread::yield();
                return 0;
            };
            if (holder == Reducer) reducer.with_state([&](CanonicalForm&) { return hold(); });
            else lock.run([&] {
                if (holder == Reader) lock.reading();
                return hold();
            });
        });
        while (!held) std::this_thread::yield();
        const pid_t pid = fork();
        if (pid == 0) {
            alarm(20);  // a hung child ends with SIGALRM
            int code = 0;
            for (int attempt = 0; attempt < 2; ++attempt) {
                try {
                    if (holder == Reducer) code |= reducer.watermark() == 0 ? 8 : 16;
                    else code |= lock.run([] { return 1; });
                } catch (const ForkedWhileBusy& e) {
                    code |= std::string(e.what()) == (holder == Reducer ? kReducerBusyAtFork : "busy") ? 2 : 4;
                }
            }
            _exit(code);
        }
        done = true;
        t.join();
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "holder " << holder << ": the child was ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), holder == Reader ? 1 : 2) << "holder " << holder;
        EXPECT_EQ(lock.run([] { return 5; }), 5);  // the parent's lock is as it was
        EXPECT_EQ(reducer.watermark(), 0u);
    }
}
