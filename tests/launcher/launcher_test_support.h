// Shared set-up for the launcher's unit tests: a clean fake platform, a known
// "ECAT_MASTER_INI_FILE", LastStatus cleared, and stdout captured.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "launcher/last_status.h"
#include "tests/launcher/fake_platform.h"

class LauncherTest : public testing::Test {
  protected:
    void SetUp() override {
        if (const char* value = std::getenv("ECAT_MASTER_INI_FILE")) {
            saved_ = value;
        }
        SetIniFile("/opt/master/config/master.ini");
        fake::Reset();
        LastStatus = 0;
    }
    void TearDown() override {
        if (saved_) {
            setenv("ECAT_MASTER_INI_FILE", saved_->c_str(), 1);
        } else {
            unsetenv("ECAT_MASTER_INI_FILE");
        }
    }
    static void SetIniFile(const char* value) {
        if (value != nullptr) {
            setenv("ECAT_MASTER_INI_FILE", value, 1);
        } else {
            unsetenv("ECAT_MASTER_INI_FILE");
        }
    }

  private:
    std::optional<std::string> saved_;
};
