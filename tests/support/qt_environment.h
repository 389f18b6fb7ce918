#pragma once
// The Qt application object of a test program: made before the first test
// and freed after the last. TApp is QApplication or the program's own
// application class. Register it once per program:
//   const auto* const kEnvironment =
//       ::testing::AddGlobalTestEnvironment(new testing_support::TQtEnvironment<>("name_test"));

#include <gtest/gtest.h>

#include <QApplication>

#include <functional>
#include <memory>
#include <string>

namespace testing_support {

template <class TApp = QApplication>
class TQtEnvironment : public ::testing::Environment {
 public:
  // `before` runs before the application object is made.
  explicit TQtEnvironment(const char* programName, std::function<void()> before = {})
      : name_(programName), before_(std::move(before)) {}

  void SetUp() override {
    if (before_) before_();
    argv_[0] = name_.data();
    app_ = std::make_unique<TApp>(argc_, argv_);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::string name_;
  std::function<void()> before_;
  int argc_ = 1;
  char* argv_[2] = {nullptr, nullptr};
  std::unique_ptr<TApp> app_;
};

}  // namespace testing_support
