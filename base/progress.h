#pragma once
// How a long step (a download, an install) tells its caller how far it got.
// The workers turn these calls into status reports; the steps themselves
// know nothing of the window.

#include <functional>
#include <string>

// A sub-step's progress: fraction in [0, 1], for downloads.
using ProgressCallback = std::function<void(float fraction)>;
// The install step's variant, with a detail text.
using InstallProgressCallback = std::function<void(float fraction, const std::string& detail)>;
