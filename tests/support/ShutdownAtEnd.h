#pragma once

#include "platform/OrvoSystem.h"

#include <gtest/gtest.h>

// Deletes the library's singletons at the end of the test program, as the application does
// when it closes, so that their threads are joined before exit. Include it in one file of a
// test program.
class ShutdownAtEnd : public testing::Environment {
public:
    void TearDown() override { Lk::OrvoSystem::shutdown(); }
};

inline const testing::Environment* const shutdownAtEnd =
    testing::AddGlobalTestEnvironment(new ShutdownAtEnd());
