#pragma once
// The launcher's version and publisher: the one place for the code, the
// resource scripts and, through CMake (which reads the three numbers here),
// the application manifests. Only preprocessor lines: windres reads it too.

#define TINDERHALLOW_VERSION_MAJOR 0
#define TINDERHALLOW_VERSION_MINOR 1
#define TINDERHALLOW_VERSION_PATCH 1

// TINDERHALLOW_PUBLISHER: Explorer's details, Settings > Apps and the
// uninstall entry show it; the CMake cache value of that name sets it to the
// organisation of the publisher's code-signing certificate.
#include "product_config.h"

#define TINDERHALLOW_STRINGIFY_(x) #x
#define TINDERHALLOW_STRINGIFY(x) TINDERHALLOW_STRINGIFY_(x)
// "0.1.1"
#define TINDERHALLOW_VERSION_TEXT \
    TINDERHALLOW_STRINGIFY(TINDERHALLOW_VERSION_MAJOR.TINDERHALLOW_VERSION_MINOR.TINDERHALLOW_VERSION_PATCH)

// Servers may match the product token "TinderhallowLauncher/1"; the comment
// tells host logs which build is asking, so a rollout can be followed.
#define TINDERHALLOW_USER_AGENT "TinderhallowLauncher/1 (" TINDERHALLOW_VERSION_TEXT ")"
