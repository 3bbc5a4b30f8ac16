#include "app/EndRequests.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <QGuiApplication>
#include <QSessionManager>
#include <QSocketNotifier>

namespace {

constexpr int kSignals[] = {SIGTERM, SIGHUP, SIGINT};

// Written by the handler, read by the event loop: the classic self-pipe, as a
// signal handler may do nothing but async-signal-safe calls.
int pipeEnds[2] = {-1, -1};
// The run's threads read it too: an atomic, lock-free and so safe to write in
// a signal handler.
std::atomic<int> pendingSignal{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void NoteSignal(int signalNumber) {
  const int savedErrno = errno;
  int none = 0;
  pendingSignal.compare_exchange_strong(none, signalNumber);
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  // A full pipe already holds a wake-up; the byte may be dropped.
  [[maybe_unused]] const ssize_t written = write(pipeEnds[1], &byte, 1);
  errno = savedErrno;
}

}  // namespace

EndRequests::EndRequests(QObject* parent) : QObject(parent) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, pipeEnds) != 0) return;
  notifier_ = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &EndRequests::ReadPipe);
  struct sigaction action = {};
  action.sa_handler = NoteSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  ok_ = true;
  for (const int signalNumber : kSignals) {
    if (sigaction(signalNumber, &action, nullptr) != 0) ok_ = false;
  }
  if (auto* app = qobject_cast<QGuiApplication*>(QCoreApplication::instance())) {
    connect(app, &QGuiApplication::commitDataRequest, this, &EndRequests::SessionEnds);
  }
}

EndRequests::~EndRequests() {
  for (const int signalNumber : kSignals) signal(signalNumber, SIG_DFL);
  delete notifier_;
  notifier_ = nullptr;
  for (int& end : pipeEnds) {
    if (end >= 0) close(end);
    end = -1;
  }
  pendingSignal.store(0);
}

int EndRequests::PendingSignal() {
  return pendingSignal.load(std::memory_order_relaxed);
}

void EndRequests::ReadPipe() {
  unsigned char bytes[64];
  while (read(pipeEnds[0], bytes, sizeof bytes) > 0) {
  }
  if (const int signalNumber = pendingSignal.load(); signalNumber != 0)
    emit Requested(signalNumber);
}

void EndRequests::SessionEnds() {
  emit Requested(0);
}
