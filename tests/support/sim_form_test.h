// A fixture for tests of the main form on the simulated bus: a bus built from
// a JSON scenario and installed as the manager, a form over in-memory
// settings and a recording window system, and a temporary folder of the
// test's own. Every test starts from a reset process and leaves no manager
// installed behind it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>

#include "aspi/manager.h"
#include "tests/support/recording_window_system.h"
#include "transport/sim/sim_bus.h"
#include "ui/main_form.h"

namespace qx {

class SimFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetProcessState();
    // One folder per test: ctest runs the tests of one program side by side.
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string("qx-") + info->test_suite_name() + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '-');  // parameterised names
    dir = std::filesystem::temp_directory_path() / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    InstallAspiManager(nullptr);
    std::filesystem::remove_all(dir);
  }

  // The bus of `json`, installed as the manager.
  void UseBus(const std::string& json) {
    std::string error;
    bus = sim::SimBus::FromJsonText(json, &error);
    ASSERT_TRUE(bus) << error;
    InstallAspiManager(bus);
  }
  // A loaded form over the installed bus; blocks go out without a pause.
  void StartForm() {
    form = std::make_unique<MainForm>(settings);
    form->BlockPause = [] {};
    form->Form_Load();
  }
  // The bus of `json`, installed, and a loaded form that has scanned it.
  void UseScanned(const std::string& json) {
    UseBus(json);
    if (HasFatalFailure()) return;
    StartForm();
    form->Scsi_Scan_Click();
  }

  std::filesystem::path dir;
  std::shared_ptr<sim::SimBus> bus;
  MemorySettingsStore settings;
  RecordingWindowSystem ws;
  ScopedWindowSystem scoped{&ws};
  std::unique_ptr<MainForm> form;
};

}  // namespace qx
