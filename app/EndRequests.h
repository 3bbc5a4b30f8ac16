// Requests from outside to end the program: SIGTERM, SIGHUP and SIGINT (a
// logout, a shutdown, `kill`, Ctrl+C in the terminal) and the session
// manager's end of the session. The program answers them with its normal
// close, so that sets edited since the start reach the settings file.
#pragma once

#include <QObject>

class QSocketNotifier;

class EndRequests : public QObject {
  Q_OBJECT

 public:
  // Catches SIGTERM, SIGHUP and SIGINT from now on. A signal is noted at once
  // (PendingSignal) and reported by Requested once the event loop runs; a
  // backup run in progress sees the note between two files. One object per
  // program; the signals get their default action back when it goes.
  explicit EndRequests(QObject* parent = nullptr);
  ~EndRequests() override;

  // Whether the signals are caught (false when the system refused).
  bool ok() const { return ok_; }

  // The first signal caught and not yet answered by the program's end, or 0.
  // Safe to call from anywhere, at any time.
  static int PendingSignal();

 signals:
  // A signal arrived (its number), or 0 for the session manager's end of the
  // session.
  void Requested(int signalNumber);

 private:
  void ReadPipe();
  void SessionEnds();

  bool ok_ = false;
  QSocketNotifier* notifier_ = nullptr;
};
