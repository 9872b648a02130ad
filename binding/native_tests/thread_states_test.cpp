// Native threads against the binding's thread states and exit gate, in an embedded interpreter,
// for ThreadSanitizer's eyes: threads that keep a state, call into Python, and end while other
// threads take their states off the list of ended ones; a join of such threads by a thread that
// holds the GIL; passes through the exit gate while it closes.
#include <gtest/gtest.h>
#include <pybind11/embed.h>

#include <atomic>
#include <thread>
#include <vector>

#include "callback_gate.h"
#include "fork_guard.h"
#include "thread_state.h"

namespace py = pybind11;
using namespace ostrel_binding;

namespace {

// The thread states of the interpreter; the GIL is held.
int thread_states() {
    int count = 0;
    for (PyThreadState* s = PyInterpreterState_ThreadHead(PyInterpreterState_Main()); s; s = PyThreadState_Next(s)) {
        ++count;
    }
    return count;
}

// A callback's use of Python on a native thread: its kept state, a threading.local() value,
// and the release of states of threads that ended meanwhile.
void call_into_python(py::object& local) {
    PyThreadState* state = kept_thread_state();
    if (state == nullptr) state = keep_new_thread_state();
    PyEval_RestoreThread(state);
    {
        py::object calls = py::getattr(local, "calls", py::int_(0));
        local.attr("calls") = calls + py::int_(1);
        release_ended_thread_states();
    }
    PyEval_SaveThread();
}

}  // namespace

TEST(ThreadStates, EndedThreadsAreReleasedWhileOthersRun) {
    py::object local = py::module_::import("threading").attr("local")();
    const int base = thread_states();
    {
        py::gil_scoped_release nogil;
        std::vector<std::thread> threads;
        for (int t = 0; t < 8; ++t) {
            threads.emplace_back([&local, t] {
                for (int call = 0; call < 20 * (t + 1); ++call) call_into_python(local);
            });
        }
        for (std::thread& thread : threads) thread.join();
    }
    release_ended_thread_states();
    EXPECT_EQ(thread_states(), base);
}

TEST(ThreadStates, ThreadsEndWhileTheJoinerHoldsTheGil) {
    py::object local = py::module_::import("threading").attr("local")();
    const int base = thread_states();
    std::atomic<int> called{0};
    std::vector<std::thread> threads;
    {
        py::gil_scoped_release nogil;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                call_into_python(local);
                ++called;
            });
        }
        while (called.load() < 4) std::this_thread::yield();
    }
    for (std::thread& thread : threads) thread.join();  // with the GIL held
    release_ended_thread_states();
    EXPECT_EQ(thread_states(), base);
}

// Last: the gate stays closed for the rest of the process.
TEST(ExitGate, NoPassIsAdmittedOnceClosed) {
    install_exit_gate();
    CallbacksInside inside;
    std::atomic<bool> closed{false};
    std::atomic<int> late{0};
    std::atomic<int> refused{0};
    std::vector<std::thread> threads;
    {
        py::gil_scoped_release nogil;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (;;) {
                    CallbackPass pass(&inside, inside);
                    if (!pass) break;
                    if (closed.load()) ++late;
                }
                ++refused;
            });
        }
    }
    py::module_::import("atexit").attr("_run_exitfuncs")();  // closes the gate and drains it
    closed = true;
    {
        py::gil_scoped_release nogil;
        for (std::thread& thread : threads) thread.join();
    }
    EXPECT_EQ(late.load(), 0);
    EXPECT_EQ(refused.load(), 4);
    EXPECT_FALSE(exit_gate_keeps(std::make_shared<int>(0), inside));
}

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    py::scoped_interpreter python;
    install_fork_guard();
    return RUN_ALL_TESTS();
}
