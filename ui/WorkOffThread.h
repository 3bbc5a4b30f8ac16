// Long work off the window's thread: the handler that starts it waits for it
// in an event loop of its own, as a modal dialog does, so the windows repaint,
// move and answer input all the while, and the handler goes on afterwards as
// if the work had been a plain call.
#pragma once

#include <functional>

// Runs `work` on a thread of its own and handles the calling thread's events
// until it has returned; rethrows what it threw. Every event is handled
// meanwhile, input included: the caller disables what must not be used
// (handlers that could start the same work again, or change what it reads).
// An ending of the event loops (QCoreApplication::exit) does not end the
// wait, so `work` never outlives what it uses; it must itself end soon once
// asked to stop. When no thread can be started, `work` runs here.
void WorkOffThread(const std::function<void()>& work);
