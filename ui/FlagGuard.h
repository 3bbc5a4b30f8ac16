// A flag raised for a stretch of code, as a window marks the changes its own
// handlers make (which must not run the handlers of user input).
#pragma once

namespace quillfen_ui {

// Sets `flag` for the lifetime of the guard and restores its old value.
class FlagGuard {
 public:
  explicit FlagGuard(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
  ~FlagGuard() { flag_ = old_; }
  FlagGuard(const FlagGuard&) = delete;
  FlagGuard& operator=(const FlagGuard&) = delete;

 private:
  bool& flag_;
  bool old_;
};

}  // namespace quillfen_ui
