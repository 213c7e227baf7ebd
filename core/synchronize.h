#pragma once
// Hand-over of work from a worker thread to the main thread.

#include <functional>

namespace bm {

// Runs fn on the main thread (the thread of the QCoreApplication) and returns
// when it has run; an exception thrown by fn is rethrown to the caller.
// On the main thread itself, or when no QCoreApplication exists, fn runs at once.
// The main thread must keep its event loop running while a worker may call this:
// waiting for such a worker without processing events deadlocks.
void Synchronize(const std::function<void()>& fn);

// True on the thread of the QCoreApplication, or when there is none.
bool IsMainThread();

} // namespace bm
