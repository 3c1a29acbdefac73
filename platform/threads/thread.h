// Worker threads with the classic TThread contract, and Sleep.
//
// Suspension is cooperative. A worker stops only at a suspension point: its
// own Suspend(), or a Sleep() running on its thread. Suspend() called from
// another thread is a request the worker honours at its next suspension
// point. Stopping a thread at an arbitrary instruction could freeze the
// program if that thread held a lock (inside the allocator, say).
//
// Suspension does not nest: any number of Suspend() calls are undone by one
// Resume(), and a Resume() that reaches a worker that is not stopped has no
// effect and is not remembered.
//
// Resume(), Suspend() and Terminate() take no lock and never block, so they
// can be called from an audio callback.
#pragma once

#include "windef.h"

#include <atomic>
#include <exception>
#include <memory>
#include <thread>

// tpTimeCritical: the worker carries sound and asks for real-time scheduling
// (platform/base/realtime.h); tpNormal: it runs like the rest of the program.
enum TThreadPriority { tpNormal, tpTimeCritical };

class TThread {
public:
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // Ends the body at its next suspension point (without running the rest
    // of the pass) and joins the thread. Never hangs on a worker that is
    // stopped, sleeping or between passes.
    virtual ~TThread();

    void Resume();
    void Suspend();
    // Only sets the request; it wakes nothing.
    void Terminate();
    bool Terminated() const;

    // True while the worker is stopped at a suspension point.
    bool Suspended() const;

    // An exception that escaped the body, kept instead of ending the process.
    std::exception_ptr FatalException() const;

    // Taken up by the worker's thread as it starts, before the body runs:
    // set it in the constructor, before AfterConstruction().
    TThreadPriority GetPriority() const;
    void SetPriority(TThreadPriority value);

    // Names the calling thread, as top -H and a debugger show it.
    static void NameThreadForDebugging(const char* name);

protected:
    // createSuspended: true leaves the worker stopped until its first
    // Resume(); false starts the body as soon as construction is complete.
    explicit TThread(bool createSuspended);

    // The body. Runs on the worker's own thread. Destruction ends it by
    // throwing a private exception out of its next suspension point, so a
    // body must not swallow that: a catch (...) in it has to rethrow (it does
    // not derive from std::exception). A body that destroys its own worker
    // is let go rather than joined; it ends at its next suspension point and
    // must not touch the object after destroying it.
    virtual void Execute() = 0;

    // The most-derived constructor calls this last: the body is never started
    // on a half-built object.
    void AfterConstruction();
    // The most-derived destructor calls this first: the thread is ended and
    // joined while the object is still whole. Idempotent.
    void BeforeDestruction();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Waits at least ms milliseconds. On a worker's thread it is a suspension
// point: a Suspend() request pauses it there, and after the next Resume() it
// waits out the rest of its time.
void Sleep(DWORD ms);
