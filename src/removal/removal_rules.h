// The removal policy: which staged packages go, in what order, and how the outcome becomes the
// process exit code.
#pragma once

#include <span>

#include "platform/setup_platform.h"

struct RemovalRule {
  PCWSTR KeyName;        // read from the "strings" section of each INF; never null or empty
  PCWSTR ExpectedValue;  // null: any non-empty value matches
};

// The compiled-in rule table, in the order the rules run.
std::span<const RemovalRule> RemovalRules();

// Runs every rule through UninstallMatchingInfs, in order and never stopping early, and returns 0
// when all of them succeeded and -1 when any failed.
int RunRemovalRules(std::span<const RemovalRule> rules);

// The process entry, with C linkage because the C runtime's start-up calls it by that name. Its
// arguments have no effect; its result is the process exit code.
extern "C" int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nShowCmd);
