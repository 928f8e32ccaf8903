#include "juce/common/SystemUtils.h"
#include "tests/support/TempDir.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(SystemUtils, settingsLiveBesideTheProgramOnlyWhenAFileIsThere) {
    const std::string previous = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(Lk::getOrvoSettingsBaseDir(), "/home/someone/.Fennic Labs");
    EXPECT_EQ(Lk::getSettingsFilePath("/opt/doka/DOKA"), "/home/someone/.Fennic Labs/DOKA.fnst");

    const dokatest::TempDir beside("doka-beside");
    std::ofstream(beside.file("DOKA.fnst")) << "[Current]\n";
    EXPECT_EQ(Lk::getSettingsFilePath(beside.file("DOKA").c_str()),
              beside.file("DOKA.fnst").c_str());

    // A relative HOME would make the settings land wherever the program was started.
    setenv("HOME", "relative", 1);
    EXPECT_EQ(Lk::getHomeDirectory()[0], '/');
    setenv("HOME", previous.c_str(), 1);
}

} // namespace
