// One QApplication for the whole run of a Qt test program, set up as a global test environment.
#include <gtest/gtest.h>

#include <QApplication>
#include <memory>

namespace {

class TQtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override { FApplication = std::make_unique<QApplication>(FArgc, FArgv); }
  void TearDown() override { FApplication.reset(); }

 private:
  int FArgc = 1;
  char FName[16] = "forms_tests";
  char* FArgv[2] = {FName, nullptr};
  std::unique_ptr<QApplication> FApplication;
};

const auto* const gQtEnvironment = ::testing::AddGlobalTestEnvironment(new TQtEnvironment);

}  // namespace
