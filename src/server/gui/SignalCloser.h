// TSignalCloser turns SIGINT and SIGTERM into a call on the Qt thread (a self-pipe watched by
// a QSocketNotifier), so that the window program ends as if its close box had been pressed.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace zorva {

class TSignalCloser : public QObject {
  Q_OBJECT

 public:
  // One per process; `onSignal` runs on the thread that created it.
  explicit TSignalCloser(std::function<void()> onSignal, QObject* parent = nullptr);
  ~TSignalCloser() override;

 private:
  std::function<void()> FOnSignal;
  QSocketNotifier* FNotifier = nullptr;
};

}  // namespace zorva
