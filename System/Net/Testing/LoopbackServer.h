#pragma once

// The loopback test server lives with the test support in System/Tests/NetTesting; this path stays for the
// tests that include it from here.
#include "System/Tests/NetTesting/LoopbackServer.h"
