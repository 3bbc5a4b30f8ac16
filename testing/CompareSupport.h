// Test helpers of the comparison window's tests: a fake main window and a
// recorder of what the copy shows.
#pragma once

#include <atomic>
#include <string>
#include <string_view>
#include <vector>

#include "compare/MainWindowLink.h"
#include "compare/SelectiveCopy.h"
#include "engine/DateTime.h"

namespace quillfen::testing {

// The main window as the comparison window sees it.
class FakeMainWindow : public MainWindowLink {
 public:
  std::string setName = "Set1";
  std::string source, destination, settingsPath;
  std::vector<std::string> keepOriginal, excluded;

  std::string SelectedSetName() const override { return setName; }
  std::string SelectedSourceFolder() const override { return source; }
  std::string SelectedDestinationFolder() const override { return destination; }
  std::vector<std::string> TickedKeepOriginal() const override { return keepOriginal; }
  std::vector<std::string> TickedExcluded() const override { return excluded; }
  std::string SettingsPath() const override { return settingsPath; }
  // Asked on the copy's thread.
  bool StopRequested() const override { return stop.load(); }
  void ShowFailures(const std::vector<SetReport>& sets) override { failures = sets; }
  void CopyHeld(bool isHeld) override { held.push_back(isHeld); }
  void EndWithoutWaiting() override { ++endedWithoutWaiting; }

  std::atomic<bool> stop{false};
  std::vector<SetReport> failures;  // what the main window was given to show
  std::vector<bool> held;           // what it was told of a copy held, in order
  int endedWithoutWaiting = 0;      // how often it was asked to end at once
};

// A selective copy of every item of `items` (all selected) from `from` to
// `to`, for the set "Set1" of the settings file `ini`, at 2026-12-07 9:05:07.
inline SelectiveCopyRequest Request(const std::string& from, const std::string& to,
                                    std::vector<std::string> items, const std::string& ini) {
  SelectiveCopyRequest r;
  r.fromRoot = from;
  r.toRoot = to;
  r.selected.assign(items.size(), 1);
  r.items = std::move(items);
  r.setName = "Set1";
  r.settingsPath = ini;
  r.now = EncodeDateTime(2026, 12, 7, 9, 5, 7);
  return r;
}

// Both halves of the copy in the order the window runs them: CopySelected,
// then FinishSelectiveCopy.
inline SelectiveCopyOutcome CopyAndFinish(const SelectiveCopyRequest& request,
                                          CopyFeedback& feedback) {
  SelectiveCopyOutcome outcome = CopySelected(request, feedback);
  FinishSelectiveCopy(request, outcome, feedback);
  return outcome;
}

// Everything the copy shows, in order, each prefixed with its kind.
class RecordingFeedback : public CopyFeedback {
 public:
  std::vector<std::string> events;
  std::vector<std::string> Statuses() const { return Of("status: "); }
  std::vector<std::string> Messages() const { return Of("message: "); }

  void ShowStatus(std::string_view text) override { events.push_back("status: " + S(text)); }
  void ShowMessage(std::string_view text) override { events.push_back("message: " + S(text)); }
  void ShowError(std::string_view text) override { events.push_back("error: " + S(text)); }
  void StartStatusTimer() override { events.push_back("timer"); }

 private:
  static std::string S(std::string_view t) { return std::string(t); }
  std::vector<std::string> Of(const std::string& prefix) const {
    std::vector<std::string> out;
    for (const std::string& e : events)
      if (e.rfind(prefix, 0) == 0) out.push_back(e.substr(prefix.size()));
    return out;
  }
};

}  // namespace quillfen::testing
